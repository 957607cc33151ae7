#include "desktop/enrollment_defaults.h"

#include "foundation/default_relay.h"

namespace vek::desktop {

std::string proposedRelay(std::string_view builtIn) {
  if (builtIn.find("://") == std::string_view::npos || relayHost(builtIn).empty() ||
      isPlaceholderRelay(builtIn)) {
    return "";
  }
  return std::string(builtIn);
}

}  // namespace vek::desktop
