#include "artifacts/background_writer.h"

#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

#include "artifacts/byte_io.h"

namespace vek::artifacts {

struct BackgroundWriter::State {
  int fd;
  std::filesystem::path path;
  Sha256* digest = nullptr;
  std::mutex mutex;
  std::condition_variable changed;
  const unsigned char* data = nullptr;
  std::size_t size = 0;
  bool pending = false;
  bool stopping = false;
  std::exception_ptr error;
  std::thread thread;

  void run() {
    std::unique_lock lock(mutex);
    for (;;) {
      changed.wait(lock, [&] { return pending || stopping; });
      if (!pending) return;
      const unsigned char* piece = data;
      std::size_t length = size;
      lock.unlock();
      std::exception_ptr failure;
      try {
        if (digest) digest->update(piece, length);
        writeBytes(fd, piece, length, path);
      } catch (...) {
        failure = std::current_exception();
      }
      lock.lock();
      if (failure && !error) error = failure;
      pending = false;
      changed.notify_all();
    }
  }
};

BackgroundWriter::BackgroundWriter(int fd, const std::filesystem::path& path, Sha256* digest)
    : state_(std::make_unique<State>()) {
  state_->fd = fd;
  state_->path = path;
  state_->digest = digest;
}

BackgroundWriter::~BackgroundWriter() {
  {
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
  }
  state_->changed.notify_all();
  if (state_->thread.joinable()) state_->thread.join();
}

void BackgroundWriter::write(const unsigned char* data, std::size_t size) {
  std::unique_lock lock(state_->mutex);
  if (!state_->thread.joinable())
    state_->thread = std::thread([state = state_.get()] { state->run(); });
  state_->changed.wait(lock, [&] { return !state_->pending; });
  if (state_->error) std::rethrow_exception(state_->error);
  state_->data = data;
  state_->size = size;
  state_->pending = true;
  state_->changed.notify_all();
}

void BackgroundWriter::finish() {
  std::unique_lock lock(state_->mutex);
  state_->changed.wait(lock, [&] { return !state_->pending; });
  if (state_->error) std::rethrow_exception(state_->error);
}

}  // namespace vek::artifacts
