// libcurl, loaded when the first relay client is made rather than when the program starts.
//
// The distribution's libcurl pulls some thirty libraries into a process (TLS stacks, Kerberos,
// LDAP, SSH, IDN), several with start-up constructors; linked directly, they cost every `vek`
// invocation several milliseconds, including `vek --version` and the commands that never talk to
// the relay. Loading libcurl with dlopen on first use keeps that cost on the commands that need
// it. The header still comes from libcurl's development package, so types and constants are
// checked at compile time; only the calls go through this table.
//
// Loading also runs curl_global_init, once per process. Programs make their first API value
// before they start other threads, as libcurl asks.
#pragma once

#include <curl/curl.h>

namespace vek::relay_client {

struct Libcurl {
  decltype(&::curl_easy_init) easy_init;
  decltype(&::curl_easy_cleanup) easy_cleanup;
  decltype(&::curl_easy_setopt) easy_setopt;
  decltype(&::curl_easy_getinfo) easy_getinfo;
  decltype(&::curl_easy_strerror) easy_strerror;
  decltype(&::curl_slist_append) slist_append;
  decltype(&::curl_slist_free_all) slist_free_all;
  decltype(&::curl_multi_init) multi_init;
  decltype(&::curl_multi_cleanup) multi_cleanup;
  decltype(&::curl_multi_setopt) multi_setopt;
  decltype(&::curl_multi_add_handle) multi_add_handle;
  decltype(&::curl_multi_remove_handle) multi_remove_handle;
  decltype(&::curl_multi_perform) multi_perform;
  decltype(&::curl_multi_poll) multi_poll;
  decltype(&::curl_multi_wakeup) multi_wakeup;
  decltype(&::curl_multi_info_read) multi_info_read;
};

/// The loaded and initialised library. Throws std::runtime_error "Cannot load the HTTP library
/// ..." when it cannot be loaded or initialised; the next call tries again.
const Libcurl& libcurl();

}  // namespace vek::relay_client
