#include "foundation/errors.h"

#include <cstring>

namespace vek {

namespace {

std::string describe(std::string_view action, const std::filesystem::path* path, int error) {
  std::string text(action);
  if (path) {
    text += ' ';
    text += path->string();
  }
  text += ": ";
  text += std::strerror(error);
  return text;
}

}  // namespace

SystemError::SystemError(std::string_view action, const std::filesystem::path& path, int error)
    : std::runtime_error(describe(action, &path, error)), code_(error) {}

SystemError::SystemError(std::string_view action, int error)
    : std::runtime_error(describe(action, nullptr, error)), code_(error) {}

}  // namespace vek
