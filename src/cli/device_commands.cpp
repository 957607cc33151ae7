// The device commands: the iPhones and iPads attached to this Mac, or to every Mac of the group as
// each last reported them to the relay.
#include "cli/commands.h"
#include "cli/group_lists.h"
#include "pipeline/devices.h"

namespace vek::cli {

Result devicesLocal(const CommandContext&) {
  return Devices::list();
}

Result devices(const CommandContext&, const Membership& membership) {
  return groupList(fetchGroup(membership.api), "phones");
}

}  // namespace vek::cli
