// Moving the encrypted build between a Mac and the relay over a network that may break.
//
// Both directions follow one rule: an attempt continues from what the other side already has (the
// relay's offset for an upload, the partial file for a download), and only attempts that moved
// nothing count towards the limit, so a long transfer over a connection that keeps breaking gets
// through as long as each connection carries some of it. An attempt that moved nothing is
// followed by a pause, one that moved bytes by the next attempt at once: the way to the relay
// worked a moment ago. Whether an upload attempt moved the relay's offset is asked of the relay
// after it failed; a download sees its own file grow.
//
// While bytes move, a thread of its own turns the transfer's progress into progress lines, so the
// transfer never waits for the relay to take a line; the lines stop before the transfer returns,
// so they always come between the stage's message and the next one.
#include <sys/stat.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "foundation/errors.h"
#include "foundation/task.h"
#include "pipeline/deployment.h"

namespace vek::BuildPipeline {

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

// At most one line this often, and one per this share of the build, whichever is rarer.
constexpr auto lineInterval = std::chrono::seconds(5);
constexpr std::uint64_t lineShare = 10;
// How often the reporter looks at the progress between lines.
constexpr auto lookInterval = std::chrono::milliseconds(250);

// "1.2 of 3.8 GB", or "120 of 537 MB" for a build under a gigabyte.
std::string amounts(std::uint64_t done, std::uint64_t total) {
  char text[64];
  if (total >= 1'000'000'000) {
    std::snprintf(text, sizeof text, "%.1f of %.1f GB", static_cast<double>(done) / 1e9,
                  static_cast<double>(total) / 1e9);
  } else {
    std::snprintf(text, sizeof text, "%.0f of %.0f MB", static_cast<double>(done) / 1e6,
                  static_cast<double>(total) / 1e6);
  }
  return text;
}

class ProgressLines {
 public:
  ProgressLines(std::string_view stage, const ProgressCallback& event)
      : stage_(stage), event_(event), token_(task::current()), thread_([this] { run(); }) {}
  ~ProgressLines() {
    {
      std::lock_guard lock(mutex_);
      stopped_ = true;
    }
    changed_.notify_one();
    thread_.join();
  }
  ProgressLines(const ProgressLines&) = delete;
  ProgressLines& operator=(const ProgressLines&) = delete;

  /// What the transfer calls as bytes move.
  TransferProgress observer() {
    return [this](std::uint64_t done, std::uint64_t total) {
      done_.store(done, std::memory_order_relaxed);
      total_.store(total, std::memory_order_relaxed);
    };
  }

 private:
  void run() {
    // Cancelling the job also ends a line's request to the relay.
    task::Scope scope(token_);
    std::unique_lock lock(mutex_);
    std::uint64_t lastDone = 0;
    Clock::time_point next = Clock::now() + lineInterval;
    while (!changed_.wait_until(lock, next, [this] { return stopped_; })) {
      std::uint64_t done = done_.load(std::memory_order_relaxed);
      std::uint64_t total = total_.load(std::memory_order_relaxed);
      if (total == 0 || done <= lastDone || (done - lastDone) * lineShare < total) {
        next = Clock::now() + lookInterval;
        continue;
      }
      lastDone = done;
      lock.unlock();
      try {
        if (event_) event_(stage_ + " \u00b7 " + amounts(done, total));
      } catch (...) {
        // A progress line that cannot be told is only missing from the job's events.
      }
      lock.lock();
      next = Clock::now() + lineInterval;
    }
  }

  const std::string stage_;
  const ProgressCallback& event_;
  const std::stop_token token_;
  std::atomic<std::uint64_t> done_{0};
  std::atomic<std::uint64_t> total_{0};
  std::mutex mutex_;
  std::condition_variable changed_;
  bool stopped_ = false;
  std::thread thread_;
};

// Counts the attempts in a row that moved nothing, and waits after each.
class Attempts {
 public:
  explicit Attempts(std::chrono::milliseconds pause) : pause_(pause) {}
  /// After a failed attempt: false when it was the last one allowed. Otherwise waits before the
  /// next one if this one moved nothing.
  bool failed(bool moved) {
    fruitless_ = moved ? 0 : fruitless_ + 1;
    if (fruitless_ >= transferAttempts) return false;
    if (!moved) task::sleepFor(pause_);
    return true;
  }

 private:
  std::chrono::milliseconds pause_;
  int fruitless_ = 0;
};

std::uint64_t sizeOf(const fs::path& file) {
  struct stat status;
  return ::stat(file.c_str(), &status) == 0 ? static_cast<std::uint64_t>(status.st_size) : 0;
}

// Whether the relay holds more of the build than `before`; false when it cannot tell.
bool relayMovedPast(const API& api, std::string_view job, std::string_view lease,
                    std::uint64_t before) {
  try {
    std::optional<HeldUpload> held = api.heldUpload(job, lease);
    return held && held->offset > before;
  } catch (const CancellationError&) {
    throw;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

void uploadArtifact(const API& api, std::string_view job, std::string_view lease,
                    const fs::path& file, std::string_view sha256, const ProgressCallback& event,
                    std::chrono::milliseconds pause) {
  const std::uint64_t size = sizeOf(file);
  ProgressLines lines(uploadingMessage, event);
  Attempts attempts(pause);
  while (true) {
    task::checkCancelled();
    std::optional<std::uint64_t> start;  // the relay's offset when this attempt began
    try {
      std::optional<HeldUpload> held = api.heldUpload(job, lease);
      if (!held) {
        api.upload(job, lease, file, sha256, lines.observer());
        return;
      }
      // What the relay holds of another build is replaced from the start.
      bool ours = held->length == size && held->sha256 == sha256 && held->offset <= size;
      start = ours ? held->offset : 0;
      api.uploadFrom(job, lease, file, sha256, *start, lines.observer());
      return;
    } catch (const CancellationError&) {
      throw;
    } catch (...) {
      if (!attempts.failed(start && relayMovedPast(api, job, lease, *start))) throw;
    }
  }
}

void downloadArtifact(const API& api, std::string_view job, std::string_view lease,
                      const fs::path& partial, const fs::path& to, std::string_view sha256,
                      const ProgressCallback& event, std::chrono::milliseconds pause) {
  ProgressLines lines(downloadingMessage, event);
  Attempts attempts(pause);
  API::DownloadDigest digest;  // of what `partial` holds, carried between attempts
  bool resumed = false;        // this copy of the build was put together from several attempts
  bool startedOver = false;    // after a mismatch, the build is fetched whole once more
  while (true) {
    task::checkCancelled();
    const std::uint64_t before = sizeOf(partial);
    resumed = resumed || before > 0;
    try {
      if (api.resumeDownload(job, lease, partial, to, sha256, digest, lines.observer()) ==
          API::Download::verified) {
        return;
      }
      if (!resumed || startedOver) throw VEKError("Downloaded build checksum mismatch");
      startedOver = true;
      resumed = false;
      continue;
    } catch (const TransportError&) {
      if (!attempts.failed(sizeOf(partial) > before)) throw;
    }
  }
}

}  // namespace vek::BuildPipeline
