#include "foundation/process_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

// glibc 2.36 declares the pidfd functions without C linkage for C++ (fixed in 2.37).
extern "C" {
#include <sys/pidfd.h>
}

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <stop_token>

#include "foundation/errors.h"
#include "foundation/file.h"
#include "foundation/random.h"
#include "foundation/task.h"
#include "foundation/text.h"
#include "foundation/tool_root.h"

extern char** environ;

namespace vek {

namespace {

using Clock = std::chrono::steady_clock;

// Only the end of a tool's output is kept in memory: that is where its verdict is.
constexpr std::size_t kTailWindow = 8 * 1024 * 1024;
constexpr std::size_t kCopyChunk = 1024 * 1024;
constexpr std::size_t kMessageCharacters = 1600;
// How long a tool has to honour SIGTERM before it is killed.
constexpr auto kKillGrace = std::chrono::seconds(5);

const std::string kReplacement = "\xEF\xBF\xBD";

using SharedPidfd = std::shared_ptr<const UniqueFd>;

// Tools running on behalf of a job. Each entry holds the tool's pidfd, shared with its run, so
// `cancel` can signal it after dropping the lock without the descriptor closing under it.
struct Registry {
  std::mutex lock;
  std::map<std::string, SharedPidfd, std::less<>> active;
};

Registry& registry() {
  // Never destroyed: a run may still be deregistering on another thread while the process exits.
  static Registry* instance = new Registry;
  return *instance;
}

// Keeps a tool in the registry for the length of its run. A later run under the same id replaces
// the entry; the earlier run then leaves the later one's entry alone when it ends, so the later
// tool stays reachable by `cancel`.
class Registration {
 public:
  Registration(const std::optional<std::string>& job, SharedPidfd pidfd)
      : job_(job), pidfd_(std::move(pidfd)) {
    if (!job_) return;
    std::lock_guard<std::mutex> guard(registry().lock);
    registry().active[*job_] = pidfd_;
  }
  ~Registration() {
    if (!job_) return;
    std::lock_guard<std::mutex> guard(registry().lock);
    auto entry = registry().active.find(*job_);
    if (entry != registry().active.end() && entry->second == pidfd_) {
      registry().active.erase(entry);
    }
  }
  Registration(const Registration&) = delete;
  Registration& operator=(const Registration&) = delete;

 private:
  std::optional<std::string> job_;
  SharedPidfd pidfd_;
};

// A capture file: created empty and private, removed (errors ignored) when the run ends however
// it ends. Created with O_EXCL, so a file that was already there is never taken over or removed:
// the name is owned only once the file is ours.
struct CaptureFile {
  explicit CaptureFile(std::filesystem::path name)
      : fd(openFile(name, O_RDWR | O_CREAT | O_EXCL, 0600)), file(std::move(name)) {
    if (::fchmod(fd.get(), 0600) != 0)
      throw SystemError("Cannot set permissions of", path(), errno);
  }

  const std::filesystem::path& path() const noexcept { return file.path(); }

  UniqueFd fd;
  TemporaryFile file;
};

// A started tool. Until it has been reaped, destruction kills and reaps it, so no exit path of
// `run` leaves a child or a zombie behind.
class Child {
 public:
  Child(const std::string& executable, SharedPidfd pidfd) noexcept
      : executable_(executable), pidfd_(std::move(pidfd)) {}
  ~Child() {
    if (reaped_) return;
    signal(SIGKILL);
    try {
      reap();
    } catch (...) {
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  const SharedPidfd& pidfd() const noexcept { return pidfd_; }

  // Signals through the pidfd: once the tool has exited this reaches nobody (ESRCH), never a
  // process that reused its pid.
  void signal(int number) noexcept { ::pidfd_send_signal(pidfd_->get(), number, nullptr, 0); }

  // Waits for the tool to exit and collects it. Returns the exit code, or the signal number when
  // a signal ended it.
  int reap() {
    siginfo_t info{};
    while (::waitid(P_PIDFD, static_cast<id_t>(pidfd_->get()), &info, WEXITED) != 0) {
      if (errno == EINTR) continue;
      reaped_ = true;  // nothing left to collect (someone else reaped it)
      throw SystemError("Cannot wait for", executable_, errno);
    }
    reaped_ = true;
    return info.si_status;  // exit code for CLD_EXITED, signal number for CLD_KILLED/CLD_DUMPED
  }

 private:
  const std::string& executable_;
  SharedPidfd pidfd_;
  bool reaped_ = false;
};

// Wakes the waiting run when its task is asked to stop.
struct Waker {
  int fd;
  void operator()() const noexcept {
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t ignored = ::write(fd, &one, sizeof one);
  }
};

// The environment of the current process without DYLD_INSERT_LIBRARIES, with NSUnbufferedIO=YES
// (replacing any value it had). The pointers borrow the strings of `environ`.
std::vector<char*> childEnvironment() {
  static char unbuffered[] = "NSUnbufferedIO=YES";
  auto named = [](std::string_view entry, std::string_view name) {
    return entry.substr(0, entry.find('=')) == name;
  };
  std::vector<char*> environment;
  for (char** entry = environ; entry && *entry; ++entry) {
    if (named(*entry, "DYLD_INSERT_LIBRARIES") || named(*entry, "NSUnbufferedIO")) continue;
    environment.push_back(*entry);
  }
  environment.push_back(unbuffered);
  environment.push_back(nullptr);
  return environment;
}

// Starts the tool with its output going to the capture files and returns its pidfd.
SharedPidfd spawn(const std::string& path, const ProcessRunner::Invocation& invocation, int output,
                  int error) {
  std::vector<char*> argv;
  argv.reserve(invocation.arguments.size() + 2);
  argv.push_back(const_cast<char*>(path.c_str()));
  for (const std::string& argument : invocation.arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);
  std::vector<char*> environment = childEnvironment();

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  if (int rc = posix_spawn_file_actions_init(&actions)) throw SystemError("Cannot run", path, rc);
  if (int rc = posix_spawnattr_init(&attributes)) {
    posix_spawn_file_actions_destroy(&actions);
    throw SystemError("Cannot run", path, rc);
  }
  // The tool starts with every signal at its default action and none blocked, whatever this
  // process ignores (SIGPIPE, say) or blocks on the calling thread: otherwise a SIGTERM at the
  // time-out could be held back until the SIGKILL.
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  int rc = posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
  if (!rc) rc = posix_spawn_file_actions_adddup2(&actions, error, STDERR_FILENO);
  if (!rc && invocation.cwd) {
    rc = posix_spawn_file_actions_addchdir_np(&actions, invocation.cwd->c_str());
  }
  if (!rc) rc = posix_spawnattr_setsigmask(&attributes, &none);
  if (!rc) rc = posix_spawnattr_setsigdefault(&attributes, &all);
  if (!rc)
    rc = posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  if (!rc) {
    rc = posix_spawn(&pid, path.c_str(), &actions, &attributes, argv.data(), environment.data());
  }
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (rc != 0) {
    // posix_spawn reports a failed chdir and a failed exec alike; name the directory when it is
    // the one at fault.
    if (invocation.cwd) {
      const char* directory = invocation.cwd->c_str();
      struct stat status;
      int reason = 0;
      if (::stat(directory, &status) != 0) {
        reason = errno;
      } else if (!S_ISDIR(status.st_mode)) {
        reason = ENOTDIR;
      } else if (::access(directory, X_OK) != 0) {
        reason = errno;
      }
      if (reason) throw SystemError("Cannot use the working directory", *invocation.cwd, reason);
    }
    throw SystemError("Cannot run", path, rc);
  }

  // Until the pidfd is handed over, a failure must still end and collect the child. It has not
  // been reaped, so its pid cannot have been reused and is safe to signal.
  auto abandon = [pid] {
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  };
  UniqueFd pidfd(::pidfd_open(pid, 0));
  if (!pidfd) {
    int reason = errno;
    abandon();
    throw SystemError("Cannot watch", path, reason);
  }
  try {
    return std::make_shared<const UniqueFd>(std::move(pidfd));
  } catch (...) {
    abandon();
    throw;
  }
}

// Waits for the tool to exit while enforcing the time-out and watching `wake` (-1: no task to
// watch). Sets `cancelled` when the task was stopped before the tool exited, and `timedOut` when
// the time-out stopped it. Returns the status.
int waitForExit(Child& child, double timeout, int wake, bool& cancelled, bool& timedOut,
                const std::string& path) {
  // When to escalate next: SIGTERM, then SIGKILL; `never` once both are sent. A NaN, infinite or
  // absurdly long time-out means none.
  constexpr Clock::time_point never = Clock::time_point::max();
  Clock::time_point next = never;
  if (timeout < 1e9) {
    next = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                              std::chrono::duration<double>(std::max(timeout, 0.0)));
  }
  bool terminated = false;
  auto escalate = [&] {
    if (!terminated) {
      child.signal(SIGTERM);
      terminated = true;
      next = Clock::now() + kKillGrace;
    } else {
      child.signal(SIGKILL);
      next = never;
    }
  };

  for (;;) {
    pollfd watched[2] = {{child.pidfd()->get(), POLLIN, 0}, {wake, POLLIN, 0}};
    nfds_t count = (wake >= 0 && !cancelled) ? 2 : 1;
    int wait = -1;
    if (next != never) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()).count();
      wait = static_cast<int>(std::clamp<decltype(left)>(left, 0, INT_MAX));
    }
    int ready = ::poll(watched, count, wait);
    if (ready < 0) {
      if (errno == EINTR) continue;
      throw SystemError("Cannot wait for", path, errno);
    }
    // An exit seen together with a stop counts as an exit: the tool finished its work.
    if (watched[0].revents != 0) return child.reap();
    if (count == 2 && watched[1].revents != 0) {
      cancelled = true;
      if (!terminated) escalate();
      continue;
    }
    if (next != never && Clock::now() >= next) {
      timedOut = timedOut || !terminated;
      escalate();
    }
  }
}

// Copies a whole capture file to the log, in fixed pieces.
void copyCapture(const CaptureFile& capture, int log, const std::filesystem::path& logPath,
                 char* buffer) {
  off_t offset = 0;
  for (;;) {
    std::size_t got = readFullyAt(capture.fd.get(), buffer, kCopyChunk, offset, capture.path());
    if (got == 0) return;
    writeFully(log, std::string_view(buffer, got), logPath);
    offset += static_cast<off_t>(got);
  }
}

// Opens the log for appending, creating it with mode 0600 when it does not exist. An existing log
// keeps its content and its mode.
UniqueFd openLog(const std::filesystem::path& path) {
  int error = 0;
  for (int attempt = 0; attempt < 3; ++attempt) {
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      UniqueFd log(fd);
      // The umask may have taken owner bits away; the log is exactly 0600 like every file we make.
      if (::fchmod(fd, 0600) != 0) throw SystemError("Cannot set permissions of", path, errno);
      return log;
    }
    error = errno;
    if (error == EINTR) continue;
    if (error != EEXIST) break;
    fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd >= 0) return UniqueFd(fd);
    error = errno;
    if (error != ENOENT && error != EINTR) break;  // ENOENT: removed in between; try again
  }
  throw SystemError("Cannot open", path, error);
}

void appendTranscript(const std::filesystem::path& path, const std::string& name,
                      const std::vector<std::string>& arguments, const CaptureFile& output,
                      const CaptureFile& error) {
  UniqueFd log = openLog(path);
  std::string header = "\n$ " + name + " ";
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (i > 0) header += ' ';
    header += arguments[i];
  }
  header += '\n';
  writeFully(log.get(), header, path);
  std::unique_ptr<char[]> buffer(new char[kCopyChunk]);
  copyCapture(output, log.get(), path, buffer.get());
  copyCapture(error, log.get(), path, buffer.get());
}

// The last `kTailWindow` bytes of a capture file as text. The window is read into one string and
// repaired in place when it only starts inside a character (the usual flaw of a cut window), so a
// full window is held in memory once, not twice.
std::string readTail(const CaptureFile& capture) {
  struct stat status;
  if (::fstat(capture.fd.get(), &status) != 0) {
    throw SystemError("Cannot read", capture.path(), errno);
  }
  std::size_t size = static_cast<std::size_t>(status.st_size);
  std::size_t length = std::min(size, kTailWindow);
  std::string bytes;
  bytes.reserve(length + 2 * 3);  // room for three stray bytes to grow into U+FFFD each
  bytes.resize(length);
  bytes.resize(readFullyAt(capture.fd.get(), bytes.data(), length,
                           static_cast<off_t>(size - length), capture.path()));

  std::size_t stray = 0;
  while (stray < 3 && stray < bytes.size() &&
         (static_cast<unsigned char>(bytes[stray]) & 0xC0) == 0x80) {
    ++stray;
  }
  if (stray > 0 && text::isValidUTF8(std::string_view(bytes).substr(stray))) {
    std::string replacements;
    for (std::size_t i = 0; i < stray; ++i)
      replacements += kReplacement;
    bytes.replace(0, stray, replacements);
    return bytes;
  }
  return text::decodeUTF8Lossy(std::move(bytes));
}

}  // namespace

namespace ProcessRunner {

ProcessResult run(const Invocation& invocation) {
  task::checkCancelled();
  const std::string name = std::filesystem::path(invocation.executable).filename().string();
  const std::string path = toolPath(invocation.executable);

  std::stop_token token = task::current();
  UniqueFd wake;
  if (token.stop_possible()) {
    wake = UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake) throw SystemError("Cannot run", path, errno);
  }

  const std::string capture = randomUUID();
  CaptureFile output(temporaryDirectory() / capture);
  CaptureFile error(temporaryDirectory() / (capture + ".stderr"));

  task::checkCancelled();  // a stop that came while the captures were made still starts nothing
  Child child(path, spawn(path, invocation, output.fd.get(), error.fd.get()));
  bool cancelled = false;
  bool timedOut = false;
  int status;
  {
    std::optional<std::stop_callback<Waker>> callback;
    if (wake) callback.emplace(token, Waker{wake.get()});
    Registration registration(invocation.job, child.pidfd());
    status =
        waitForExit(child, invocation.timeout, wake ? wake.get() : -1, cancelled, timedOut, path);
  }

  if (cancelled) {
    // The transcript still records what the stopped tool printed, but the caller must see the
    // cancellation, not a failure to write it.
    if (invocation.log) {
      try {
        appendTranscript(*invocation.log, name, invocation.arguments, output, error);
      } catch (...) {
      }
    }
    throw CancellationError();
  }
  if (invocation.log) {
    appendTranscript(*invocation.log, name, invocation.arguments, output, error);
  }

  ProcessResult result;
  result.output = readTail(output);
  result.error = readTail(error);
  result.status = status;
  if (status != 0 && !invocation.allowFailure) {
    const std::string tail = text::suffixCharacters(
        result.error.empty() ? result.output : result.error, kMessageCharacters);
    // A tool stopped at its time-out says so: its status (the signal) would not tell.
    std::string message = timedOut
                              ? name + " timed out after " + text::duration(invocation.timeout) +
                                    (tail.empty() ? "" : ": " + tail)
                              : name + " failed (" + std::to_string(status) + "): " + tail;
    if (invocation.log) message += "\nFull log: " + invocation.log->string();
    throw VEKError(std::move(message));
  }
  return result;
}

void cancel(std::string_view job) noexcept {
  SharedPidfd pidfd;
  {
    std::lock_guard<std::mutex> guard(registry().lock);
    auto entry = registry().active.find(job);
    if (entry == registry().active.end()) return;
    pidfd = entry->second;
  }
  ::pidfd_send_signal(pidfd->get(), SIGTERM, nullptr, 0);
}

}  // namespace ProcessRunner

}  // namespace vek
