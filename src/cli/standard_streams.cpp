#include "cli/standard_streams.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "foundation/file.h"

namespace vek::cli {

void prepareStandardStreams() {
  ::signal(SIGPIPE, SIG_IGN);
  // In ascending order, so open() returns exactly the number that is missing.
  for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) ::open("/dev/null", O_RDONLY);
  }
}

void writeResult(std::string_view text) {
  std::fflush(stdout);  // whatever the command printed through stdio goes first
  writeFully(STDOUT_FILENO, std::string(text) + "\n", "standard output");
}

void writeError(std::string_view text) noexcept {
  std::fflush(stderr);
  try {
    writeFully(STDERR_FILENO, std::string(text) + "\n", "standard error");
  } catch (...) {
  }
}

}  // namespace vek::cli
