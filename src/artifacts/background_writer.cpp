#include "artifacts/background_writer.h"

#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

#include "artifacts/byte_io.h"

namespace vek::artifacts {

// One piece is handed to the writing thread and, with a digest, to a digesting thread as well; the
// two read the same bytes at the same time, and `write` hands on the next piece only once both are
// done with the last one.
struct BackgroundWriter::State {
  int fd;
  std::filesystem::path path;
  Sha256* digest = nullptr;
  std::mutex mutex;
  std::condition_variable changed;
  const unsigned char* data = nullptr;
  std::size_t size = 0;
  bool writing = false;
  bool digesting = false;
  bool stopping = false;
  std::exception_ptr error;
  std::thread writer;
  std::thread digester;

  // Serves `busy` (one of the two flags) with `work` until the writer stops.
  template <typename Work>
  void serve(bool State::*busy, Work work) {
    std::unique_lock lock(mutex);
    for (;;) {
      changed.wait(lock, [&] { return this->*busy || stopping; });
      if (!(this->*busy)) return;
      const unsigned char* piece = data;
      std::size_t length = size;
      lock.unlock();
      std::exception_ptr failure;
      try {
        work(piece, length);
      } catch (...) {
        failure = std::current_exception();
      }
      lock.lock();
      if (failure && !error) error = failure;
      this->*busy = false;
      changed.notify_all();
    }
  }

  bool idle() const { return !writing && !digesting; }
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
  if (state_->writer.joinable()) state_->writer.join();
  if (state_->digester.joinable()) state_->digester.join();
}

void BackgroundWriter::write(const unsigned char* data, std::size_t size) {
  std::unique_lock lock(state_->mutex);
  State* state = state_.get();
  if (!state->writer.joinable()) {
    state->writer = std::thread([state] {
      state->serve(&State::writing, [state](const unsigned char* piece, std::size_t length) {
        writeBytes(state->fd, piece, length, state->path);
      });
    });
    if (state->digest) {
      state->digester = std::thread([state] {
        state->serve(&State::digesting, [state](const unsigned char* piece, std::size_t length) {
          state->digest->update(piece, length);
        });
      });
    }
  }
  state->changed.wait(lock, [&] { return state->idle(); });
  if (state->error) std::rethrow_exception(state->error);
  state->data = data;
  state->size = size;
  state->writing = true;
  state->digesting = state->digest != nullptr;
  state->changed.notify_all();
}

void BackgroundWriter::finish() {
  std::unique_lock lock(state_->mutex);
  state_->changed.wait(lock, [&] { return state_->idle(); });
  if (state_->error) std::rethrow_exception(state_->error);
}

}  // namespace vek::artifacts
