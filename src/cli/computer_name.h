#pragma once

#include <string>

namespace vek::cli {

/// The name this Mac shows to people: PRETTY_HOSTNAME of /etc/machine-info, else the host name,
/// else "My Mac".
std::string computerName();

}  // namespace vek::cli
