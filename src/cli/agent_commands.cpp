// The agent commands: install, run, inspect and remove the agent. Each calls one core operation
// and shapes what `vek` prints.
#include <filesystem>
#include <stop_token>

#include "agent/agent_service.h"
#include "agent/worker.h"
#include "cli/commands.h"
#include "cli/executable_path.h"
#include "foundation/program.h"
#include "foundation/task.h"

namespace vek::cli {

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
