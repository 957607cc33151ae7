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
struct Invocation {
  const Arguments& arguments;
  std::string deviceName;
};

/// What commands that need the group see in addition: the stored credentials and the relay
/// client built from them.
struct Enrolment {
  Credentials credentials;
  API api;
};

using Result = std::optional<JSON>;

// Commands that work without enrolment.
Result doctor(const Invocation&);
Result groupCreate(const Invocation&);
Result groupJoin(const Invocation&);
Result projectsAdd(const Invocation&);
Result projectsRemove(const Invocation&);
Result projectsListLocal(const Invocation&);
Result devicesLocal(const Invocation&);
Result agentStatus(const Invocation&);
Result agentUninstall(const Invocation&);

// Commands that need the group.
Result agentInstall(const Invocation&, const Enrolment&);
Result agentRun(const Invocation&, const Enrolment&);
Result groupInvite(const Invocation&, const Enrolment&);
Result groupStatus(const Invocation&, const Enrolment&);
Result groupRevoke(const Invocation&, const Enrolment&);
Result projectsList(const Invocation&, const Enrolment&);
Result devices(const Invocation&, const Enrolment&);
Result run(const Invocation&, const Enrolment&);
Result jobs(const Invocation&, const Enrolment&);
Result jobCommand(const Invocation&, const Enrolment&);

/// Fails with a clear message for a command this build does not include yet.
[[noreturn]] void unavailable(const std::string& command);

}  // namespace vek::cli
