#include "foundation/program.h"

namespace vek {

namespace {
std::string& storedPath() {
  static std::string path;
  return path;
}
}  // namespace

void setProgramPath(std::string path) {
  storedPath() = std::move(path);
}

const std::string& programPath() {
  return storedPath();
}

}  // namespace vek
