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

SystemError::SystemError(std::string_view action, const std::filesystem::path& path,
                         std::string_view reason, int error)
    : std::runtime_error(std::string(action) + " " + path.string() + ": " + std::string(reason)),
      code_(error) {}

SystemError::SystemError(std::string_view action, int error)
    : std::runtime_error(describe(action, nullptr, error)), code_(error) {}

}  // namespace vek
