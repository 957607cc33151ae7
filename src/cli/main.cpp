// vek: one command per process. Success prints one pretty JSON document on standard output and
// exits 0; every failure prints {"error" : message} on standard error and exits 1.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "cli/arguments.h"
#include "cli/dispatch.h"
#include "cli/help.h"
#include "foundation/constants.h"
#include "foundation/json.h"
#include "foundation/program.h"

namespace {

void print(std::FILE* stream, const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fputc('\n', stream);
  std::fflush(stream);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace vek;
  if (argc > 0) setProgramPath(argv[0]);
  try {
    cli::Arguments arguments(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
    if (arguments.has("--version")) {
      print(stdout, std::string(VEK::version));
      return 0;
    }
    if (arguments.has("--help") || arguments.positional().empty()) {
      print(stdout, cli::helpText());
      return 0;
    }
    if (auto result = cli::execute(arguments)) print(stdout, result->pretty());
    return 0;
  } catch (const std::exception& error) {
    print(stderr, JSON::object({{"error", error.what()}}).pretty());
  } catch (...) {
    print(stderr, JSON::object({{"error", "An unexpected error ended the command."}}).pretty());
  }
  return 1;
}
