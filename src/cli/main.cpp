// vek: one command per process. Success prints one pretty JSON document on standard output and
// exits 0; every failure, including a result that cannot be written and a command stopped by
// SIGINT or SIGTERM, prints {"error" : message} on standard error and exits 1.
#include <exception>
#include <stop_token>
#include <string>
#include <vector>

#include "cli/arguments.h"
#include "cli/dispatch.h"
#include "cli/help.h"
#include "cli/interruption.h"
#include "cli/standard_streams.h"
#include "foundation/constants.h"
#include "foundation/json.h"
#include "foundation/program.h"
#include "foundation/task.h"

int main(int argc, char** argv) {
  using namespace vek;
  cli::prepareStandardStreams();
  if (argc > 0) setProgramPath(argv[0]);
  std::stop_source stop;
  try {
    cli::stopOnInterruption(stop);
    // The command runs as this thread's task, so the signals reach every cancellable wait in it.
    task::Scope command(stop.get_token());
    cli::Arguments arguments(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
    if (arguments.has("--version")) {
      cli::writeResult(VEK::version);
      return 0;
    }
    if (arguments.has("--help") || arguments.positional().empty()) {
      cli::writeResult(cli::helpText());
      return 0;
    }
    if (auto result = cli::execute(arguments)) cli::writeResult(result->pretty());
    return 0;
  } catch (const std::exception& error) {
    cli::writeError(JSON::object({{"error", error.what()}}).pretty());
  } catch (...) {
    cli::writeError(JSON::object({{"error", "An unexpected error ended the command."}}).pretty());
  }
  return 1;
}
