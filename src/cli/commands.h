// The commands `vek` dispatches to. Each is a thin layer over one core operation or one relay
// request: it reads its options, applies its few checks and returns the JSON to print (nothing
// for the long-running agent).
#pragma once

#include <optional>
#include <string>

#include "cli/arguments.h"
#include "foundation/credentials.h"
#include "foundation/json.h"
#include "relay_client/api.h"

namespace vek::cli {

/// What every command sees: the parsed arguments and the device name fixed before dispatch.
struct CommandContext {
  const Arguments& arguments;
  std::string deviceName;
};

/// What commands that need the group see in addition: this Mac's membership of it, that is the
/// stored credentials and the relay client built from them.
struct Membership {
  Credentials credentials;
  API api;
};

using Result = std::optional<JSON>;

// Commands that work without enrolment.
Result doctor(const CommandContext&);
Result groupCreate(const CommandContext&);
Result groupJoin(const CommandContext&);
Result projectsAdd(const CommandContext&);
Result projectsRemove(const CommandContext&);
Result projectsListLocal(const CommandContext&);
Result devicesLocal(const CommandContext&);
Result agentStatus(const CommandContext&);
Result agentUninstall(const CommandContext&);

// Commands that need the group.
Result agentInstall(const CommandContext&, const Membership&);
Result agentRun(const CommandContext&, const Membership&);
Result groupInvite(const CommandContext&, const Membership&);
Result groupStatus(const CommandContext&, const Membership&);
Result groupRevoke(const CommandContext&, const Membership&);
Result projectsList(const CommandContext&, const Membership&);
Result devices(const CommandContext&, const Membership&);
Result run(const CommandContext&, const Membership&);
Result jobs(const CommandContext&, const Membership&);
Result jobCommand(const CommandContext&, const Membership&);

}  // namespace vek::cli
