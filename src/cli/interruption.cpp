#include "cli/interruption.h"

#include <pthread.h>
#include <signal.h>

#include <system_error>
#include <thread>

#include "foundation/errors.h"

namespace vek::cli {

void stopOnInterruption(std::stop_source source) {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  if (int rc = ::pthread_sigmask(SIG_BLOCK, &signals, nullptr)) {
    throw SystemError("Cannot block SIGINT and SIGTERM", rc);
  }
  try {
    // Detached: it waits for the life of the process, touching nothing but its own copy of the
    // stop source, so the process may exit while it waits.
    std::thread([source, signals]() mutable {
      for (;;) {
        int number = 0;
        if (::sigwait(&signals, &number) == 0) source.request_stop();
      }
    }).detach();
  } catch (const std::system_error& error) {
    throw SystemError("Cannot watch for SIGINT and SIGTERM", error.code().value());
  }
}

}  // namespace vek::cli
