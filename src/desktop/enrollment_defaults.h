// What the enrolment form proposes before the user types anything.
//
// The build names a default relay; the value the sources ship with sits under the reserved
// top-level domain "example", which never resolves, so such a build has no default relay and the
// form leaves the relay address empty for the user to fill in. The device name is the name this
// computer shows to people.
#pragma once

#include <string>
#include <string_view>

namespace vek::desktop {

/// `builtIn` when it names a real relay; "" when its host is "example" or ends in ".example"
/// (compared without regard to case or a trailing dot), or when it has no host at all.
std::string proposedRelay(std::string_view builtIn);

/// PRETTY_HOSTNAME from `machineInfo` (a file in the /etc/machine-info format), else `hostName`,
/// else "My Mac".
std::string proposedDeviceName(const std::string& machineInfo, const std::string& hostName);

/// proposedDeviceName for this computer.
std::string computerName();

}  // namespace vek::desktop
