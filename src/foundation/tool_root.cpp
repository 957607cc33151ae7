#include "foundation/tool_root.h"

#include <cstdlib>

namespace vek {

std::string toolPath(std::string_view absolutePath) {
  const char* value = std::getenv("VEK_TOOL_ROOT");
  if (!value || !*value) return std::string(absolutePath);
  std::string_view root(value);
  // "/sim/" + "/usr/bin/x" would work too, but the doubled slash would show in every message.
  while (!root.empty() && root.back() == '/')
    root.remove_suffix(1);
  std::string path(root);
  if (absolutePath.empty() || absolutePath.front() != '/') path += '/';
  path += absolutePath;
  return path;
}

}  // namespace vek
