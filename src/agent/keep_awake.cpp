#include "agent/keep_awake.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "foundation/tool_root.h"

extern char** environ;

namespace vek {

namespace {

// How long a stopped helper gets to end on SIGTERM before it is killed.
constexpr auto gracePeriod = std::chrono::seconds(2);

}  // namespace

KeepAwake::Platform KeepAwake::native() noexcept {
#ifdef __APPLE__
  return Platform::mac;
#else
  return Platform::systemd;
#endif
}

ToolCommand KeepAwake::command(Platform platform, pid_t pid) {
  const std::string target = std::to_string(pid);
  if (platform == Platform::mac) return {"/usr/bin/caffeinate", {"-i", "-w", target}};
  // systemd-inhibit holds its lock while its command runs; tail --pid is the system's own way to
  // wait for an unrelated process to end. systemd-inhibit runs it itself, so it is never re-rooted.
  return {"/usr/bin/systemd-inhibit",
          {"--what=idle:sleep", "--who=VEK", "--why=A VEK job is running", "--mode=block",
           "/usr/bin/tail", "--pid=" + target, "-f", "/dev/null"}};
}

std::unique_ptr<KeepAwake> KeepAwake::start(const ToolCommand& command) noexcept {
  try {
    std::string executable = toolPath(command.executable);
    std::vector<std::string> arguments{command.executable};
    arguments.insert(arguments.end(), command.arguments.begin(), command.arguments.end());
    std::vector<char*> argv;
    for (auto& argument : arguments)
      argv.push_back(argument.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_setpgroup(&attributes, 0);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(
        &attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, executable.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return std::unique_ptr<KeepAwake>(new KeepAwake(rc == 0 ? pid : -1));
  } catch (...) {
    return std::unique_ptr<KeepAwake>(new KeepAwake(-1));
  }
}

std::unique_ptr<KeepAwake> KeepAwake::forThisProcess() noexcept {
  try {
    return start(command(native(), ::getpid()));
  } catch (...) {
    return std::unique_ptr<KeepAwake>(new KeepAwake(-1));
  }
}

bool KeepAwake::running() noexcept {
  if (pid_ < 0 || reaped_) return false;
  int status = 0;
  pid_t got = ::waitpid(pid_, &status, WNOHANG);
  if (got == pid_ || (got < 0 && errno == ECHILD)) reaped_ = true;
  return !reaped_;
}

KeepAwake::~KeepAwake() {
  if (pid_ < 0) return;
  // Until the helper is reaped its pid, and so its group id, cannot be reused: the group signal
  // reaches only what the helper started. After it was reaped, what it started (systemd-inhibit's
  // waiting command) still ends with the agent.
  if (!reaped_) ::kill(-pid_, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + gracePeriod;
  while (running()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(-pid_, SIGKILL);
      int status = 0;
      while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
      reaped_ = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace vek
