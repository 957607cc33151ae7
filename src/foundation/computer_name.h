// The name this computer shows to people, proposed wherever a device is enrolled without one.
//
// It is the "pretty" host name a person chose (PRETTY_HOSTNAME in /etc/machine-info), else the
// host name, else a generic "My Mac", so enrolment never proposes an empty name.
#pragma once

#include <string>
#include <string_view>

namespace vek {

/// PRETTY_HOSTNAME from `machineInfo` (the /etc/machine-info format: shell-style KEY=VALUE lines
/// whose value may be quoted), unquoted and trimmed; else `hostName`; else "My Mac".
std::string computerNameFrom(std::string_view machineInfo, std::string_view hostName);

/// computerNameFrom for this computer: its /etc/machine-info (missing counts as empty) and host
/// name.
std::string computerName();

}  // namespace vek
