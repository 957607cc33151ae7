#include "artifacts/background_writer.h"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>

#include "artifacts/byte_io.h"

namespace vek::artifacts {

// The queue holds two pieces, numbered in the order they were queued; piece n sits in slot n % 2.
// Each working thread counts the pieces it is done with, and a slot is refilled only once both
// counts have passed the piece that was in it. After an error the threads go on counting pieces
// without working on them, so nothing more is written and nobody waits for ever.
struct BackgroundWriter::State {
  struct Piece {
    const unsigned char* data = nullptr;
    std::size_t size = 0;
  };

  int fd;
  std::filesystem::path path;
  Sha256* digest = nullptr;
  std::mutex mutex;
  std::condition_variable changed;
  Piece pieces[2];
  std::uint64_t queued = 0;
  std::uint64_t written = 0;
  std::uint64_t digested = 0;
  bool stopping = false;
  std::exception_ptr error;
  std::thread writer;
  std::thread digester;

  // Works through the queue with `work`, counting the pieces done in `done`, until told to stop.
  template <typename Work>
  void serve(std::uint64_t State::*done, Work work) {
    std::unique_lock lock(mutex);
    for (;;) {
      changed.wait(lock, [&] { return this->*done < queued || stopping; });
      if (stopping) return;
      const Piece piece = pieces[this->*done % 2];
      const bool skip = error != nullptr;
      lock.unlock();
      std::exception_ptr failure;
      if (!skip) {
        try {
          work(piece.data, piece.size);
        } catch (...) {
          failure = std::current_exception();
        }
      }
      lock.lock();
      if (failure && !error) error = failure;
      ++(this->*done);
      changed.notify_all();
    }
  }

  // How many pieces, from the first on, both threads are done with.
  std::uint64_t completed() const {
    return std::min(fd >= 0 ? written : queued, digest ? digested : queued);
  }

  void start() {
    if (fd >= 0) {
      writer = std::thread([this] {
        serve(&State::written, [this](const unsigned char* piece, std::size_t length) {
          for (std::size_t at = 0; at < length; at += writeSlice) {
            writeBytes(fd, piece + at, std::min(writeSlice, length - at), path);
          }
        });
      });
    }
    if (digest) {
      digester = std::thread([this] {
        serve(&State::digested, [this](const unsigned char* piece, std::size_t length) {
          digest->update(piece, length);
        });
      });
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
  if (state_->writer.joinable()) state_->writer.join();
  if (state_->digester.joinable()) state_->digester.join();
}

void BackgroundWriter::write(const unsigned char* data, std::size_t size) {
  State& state = *state_;
  std::unique_lock lock(state.mutex);
  // Threads are started by the first piece, so a writer that is never used costs none.
  if (state.queued == 0) state.start();
  if (state.error) std::rethrow_exception(state.error);
  state.pieces[state.queued % 2] = {data, size};
  ++state.queued;
  state.changed.notify_all();
  state.changed.wait(lock, [&] { return state.completed() + 1 >= state.queued; });
  if (state.error) std::rethrow_exception(state.error);
}

void BackgroundWriter::finish() {
  State& state = *state_;
  std::unique_lock lock(state.mutex);
  state.changed.wait(lock, [&] { return state.completed() == state.queued; });
  if (state.error) std::rethrow_exception(state.error);
}

}  // namespace vek::artifacts
