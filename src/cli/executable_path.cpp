#include "cli/executable_path.h"

#include <system_error>

#if defined(__APPLE__)
#include <mach-o/dyld.h>

#include <vector>
#endif

namespace vek::cli {

std::filesystem::path runningExecutable() {
#if defined(__APPLE__)
  uint32_t size = 0;
  _NSGetExecutablePath(nullptr, &size);
  std::vector<char> buffer(size + 1, '\0');
  if (_NSGetExecutablePath(buffer.data(), &size) != 0) return {};
  return std::filesystem::path(buffer.data());
#else
  std::error_code error;
  std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::path() : path;
#endif
}

std::filesystem::path agentExecutable(const std::string& argument0) {
  if (argument0.find('/') != std::string::npos) return argument0;
  std::filesystem::path running = runningExecutable();
  return running.empty() ? std::filesystem::path(argument0) : running;
}

}  // namespace vek::cli
