#include "relay_client/libcurl.h"

#include <dlfcn.h>

#include <stdexcept>
#include <string>

namespace vek::relay_client {

namespace {

// libcurl's soname has been libcurl.so.4 since 2006; the ABI behind it only grows.
constexpr const char* libraryName = "libcurl.so.4";

template <typename Function>
void resolve(void* library, const char* name, Function& slot) {
  void* symbol = dlsym(library, name);
  if (!symbol)
    throw std::runtime_error(std::string("Cannot load the HTTP library ") + libraryName + ": " +
                             name + " is missing (libcurl 7.68 or later is needed)");
  slot = reinterpret_cast<Function>(symbol);
}

Libcurl load() {
  // Never closed: libcurl's global state lives as long as the process.
  void* library = dlopen(libraryName, RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    const char* reason = dlerror();
    throw std::runtime_error(std::string("Cannot load the HTTP library ") + libraryName + ": " +
                             (reason ? reason : "unknown error"));
  }
  Libcurl table;
  resolve(library, "curl_easy_init", table.easy_init);
  resolve(library, "curl_easy_cleanup", table.easy_cleanup);
  resolve(library, "curl_easy_setopt", table.easy_setopt);
  resolve(library, "curl_easy_getinfo", table.easy_getinfo);
  resolve(library, "curl_easy_strerror", table.easy_strerror);
  resolve(library, "curl_slist_append", table.slist_append);
  resolve(library, "curl_slist_free_all", table.slist_free_all);
  resolve(library, "curl_multi_init", table.multi_init);
  resolve(library, "curl_multi_cleanup", table.multi_cleanup);
  resolve(library, "curl_multi_setopt", table.multi_setopt);
  resolve(library, "curl_multi_add_handle", table.multi_add_handle);
  resolve(library, "curl_multi_remove_handle", table.multi_remove_handle);
  resolve(library, "curl_multi_perform", table.multi_perform);
  resolve(library, "curl_multi_poll", table.multi_poll);
  resolve(library, "curl_multi_wakeup", table.multi_wakeup);
  resolve(library, "curl_multi_info_read", table.multi_info_read);

  decltype(&::curl_global_init) globalInit;
  resolve(library, "curl_global_init", globalInit);
  CURLcode result = globalInit(CURL_GLOBAL_DEFAULT);
  if (result != CURLE_OK)
    throw std::runtime_error(std::string("Cannot initialise the HTTP library: ") +
                             table.easy_strerror(result));
  return table;
}

}  // namespace

const Libcurl& libcurl() {
  // A function-local static: loaded exactly once even when several threads ask at the same time;
  // a failure is rethrown and retried by the next caller.
  static const Libcurl table = load();
  return table;
}

}  // namespace vek::relay_client
