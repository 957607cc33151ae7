// Commands whose subsystems this build does not include yet. Each fails with one clear sentence
// instead of pretending to work; the files that implement them replace these definitions.
#include "cli/commands.h"
#include "foundation/errors.h"

namespace vek::cli {

void unavailable(const std::string& command) {
  throw VEKError("vek " + command + " is not available in this build of VEK " + "yet.");
}

Result doctor(const CommandContext&) {
  unavailable("doctor");
}
Result agentStatus(const CommandContext&) {
  unavailable("agent status");
}
Result agentUninstall(const CommandContext&) {
  unavailable("agent uninstall");
}
Result agentInstall(const CommandContext&, const Membership&) {
  unavailable("agent install");
}
Result agentRun(const CommandContext&, const Membership&) {
  unavailable("agent run");
}
Result run(const CommandContext&, const Membership&) {
  unavailable("run");
}
Result jobs(const CommandContext&, const Membership&) {
  unavailable("jobs");
}
Result jobCommand(const CommandContext& context, const Membership&) {
  unavailable(context.arguments.positionalAt(0));
}

}  // namespace vek::cli
