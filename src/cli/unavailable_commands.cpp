// Commands whose subsystems this build does not include yet. Each fails with one clear sentence
// instead of pretending to work; the files that implement them replace these definitions.
#include "cli/commands.h"
#include "foundation/errors.h"

namespace vek::cli {

void unavailable(const std::string& command) {
  throw VEKError("vek " + command + " is not available in this build of VEK " + "yet.");
}

Result doctor(const Invocation&) {
  unavailable("doctor");
}
Result agentStatus(const Invocation&) {
  unavailable("agent status");
}
Result agentUninstall(const Invocation&) {
  unavailable("agent uninstall");
}
Result agentInstall(const Invocation&, const Enrolment&) {
  unavailable("agent install");
}
Result agentRun(const Invocation&, const Enrolment&) {
  unavailable("agent run");
}
Result run(const Invocation&, const Enrolment&) {
  unavailable("run");
}
Result jobs(const Invocation&, const Enrolment&) {
  unavailable("jobs");
}
Result jobCommand(const Invocation& invocation, const Enrolment&) {
  unavailable(invocation.arguments.positionalAt(0));
}

}  // namespace vek::cli
