// vek-relay: the relay service of a VEK group. See `vek-relay --help`.
#include <sys/stat.h>

#include <csignal>
#include <cstdlib>
#include <iostream>

#include "foundation/constants.h"
#include "relay_server/config.h"
#include "relay_server/copy_database.h"
#include "relay_server/server.h"

int main(int argc, char** argv) {
  using namespace vek::relay_server;
  ::umask(077);                   // database, WAL and artifacts are for the relay's user only
  std::signal(SIGPIPE, SIG_IGN);  // sendfile to a departed client must fail, not kill us
  Command command;
  try {
    command = parseCommandLine(std::vector<std::string>(argv + 1, argv + argc),
                               [](const char* name) -> std::optional<std::string> {
                                 const char* value = std::getenv(name);
                                 if (!value) return std::nullopt;
                                 return std::string(value);
                               });
  } catch (const std::exception& error) {
    // A distinct status for a bad command line, so a service manager knows a restart cannot help.
    std::cerr << "vek-relay: " << error.what() << std::endl;
    return 2;
  }
  try {
    if (command.kind == Command::Kind::help) {
      std::cout << helpText();
      return 0;
    }
    if (command.kind == Command::Kind::version) {
      std::cout << "vek-relay " << vek::VEK::version << "\n";
      return 0;
    }
    if (command.kind == Command::Kind::copyDatabase) {
      copyDatabase(command.copy, [](const std::string& line) {
        std::cout << "vek-relay: " << line << std::endl;
      });
      std::cout << "vek-relay: copied " << command.copy.from.string()
                << "; every table has as many rows as there." << std::endl;
      return 0;
    }
    Server server(std::move(command.config));
    return server.run();
  } catch (const std::exception& error) {
    std::cerr << "vek-relay: " << error.what() << std::endl;
    return 1;
  }
}
