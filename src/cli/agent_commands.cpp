// The agent and doctor commands: check the developer tools, and install, run, inspect and remove
// the agent. Each calls one core operation and shapes what `vek` prints.
#include <filesystem>
#include <stop_token>

#include "agent/agent_service.h"
#include "agent/worker.h"
#include "cli/commands.h"
#include "cli/executable_path.h"
#include "foundation/constants.h"
#include "foundation/developer_tools.h"
#include "foundation/program.h"
#include "foundation/task.h"
#include "pipeline/devices.h"

namespace vek::cli {

namespace {

// Neither check judges the tool's exit status: a missing Xcode shows in the texts it prints.
ProcessResult check(const ToolCommand& command) {
  ProcessRunner::Invocation invocation = command.invocation(30);
  invocation.allowFailure = true;
  return ProcessRunner::run(invocation);
}

}  // namespace

Result doctor(const CommandContext&) {
  ProcessResult xcode = check(DeveloperTools::xcodeVersion());
  ProcessResult signing = check(DeveloperTools::codeSigningIdentities());
  return JSON::object({{"version", VEK::version},
                       {"xcode", xcode.output + xcode.error},
                       {"signing_identities", signing.output},
                       {"devices", Devices::list()},
                       {"agent", AgentService::status()}});
}

Result agentStatus(const CommandContext&) {
  return AgentService::status();
}

Result agentUninstall(const CommandContext&) {
  AgentService::uninstall();
  return JSON::object({{"ok", true}});
}

Result agentInstall(const CommandContext&, const Membership&) {
  AgentService::install(agentExecutable(programPath()));
  return JSON::object({{"ok", true}, {"label", AgentService::label}});
}

Result agentRun(const CommandContext&, const Membership& membership) {
  Worker worker(membership.credentials);
  // A signal stops the worker rather than cancelling it: the loop then ends at once, stops the
  // running job's tools, frees the lock and exits 0, which is how a service manager expects a
  // stopped agent to go. The loop runs under a token of its own for that reason.
  std::stop_callback stopOnSignal(task::current(), [&worker] { worker.stop(); });
  std::stop_source own;
  task::Scope scope(own.get_token());
  worker.run();
  return std::nullopt;
}

}  // namespace vek::cli
