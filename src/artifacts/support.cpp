#include "artifacts/support.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>

#include "artifacts/artifact_crypto.h"
#include "foundation/base64.h"
#include "foundation/errors.h"
#include "foundation/file.h"
#include "foundation/text.h"

namespace vek::artifacts {

namespace {

// Failures of the library itself (not of authentication) mean it could not do its work at all,
// e.g. an exhausted random source; there is nothing more specific to tell the user.
void require(bool ok, const char* what) {
  if (!ok) throw CryptoError(std::string("The cryptographic library failed to ") + what + ".");
}

int toInt(std::size_t size) {
  // Records are at most 4 MiB, far below INT_MAX; the check keeps the EVP calls honest.
  if (size > static_cast<std::size_t>(INT_MAX)) throw std::length_error("record too large");
  return static_cast<int>(size);
}

}  // namespace

GroupKey GroupKey::decode(std::string_view base64) {
  std::optional<std::string> bytes = base64::decode(base64);
  GroupKey key;
  bool valid = bytes && bytes->size() == sizeof key.bytes_;
  if (valid) std::memcpy(key.bytes_, bytes->data(), sizeof key.bytes_);
  if (bytes) OPENSSL_cleanse(bytes->data(), bytes->size());
  if (!valid) throw VEKError("Invalid group encryption key");
  return key;
}

GroupKey::GroupKey(GroupKey&& other) noexcept {
  std::memcpy(bytes_, other.bytes_, sizeof bytes_);
  OPENSSL_cleanse(other.bytes_, sizeof other.bytes_);
}

GroupKey::~GroupKey() {
  OPENSSL_cleanse(bytes_, sizeof bytes_);
}

GcmCipher::GcmCipher(const GroupKey& key, Direction direction) : context_(EVP_CIPHER_CTX_new()) {
  require(context_ != nullptr, "create a cipher context");
  // The key schedule is computed once here; each record then only sets its nonce.
  int ok = direction == Direction::seal
               ? EVP_EncryptInit_ex(context_, EVP_aes_256_gcm(), nullptr, key.bytes(), nullptr)
               : EVP_DecryptInit_ex(context_, EVP_aes_256_gcm(), nullptr, key.bytes(), nullptr);
  if (ok != 1) {
    EVP_CIPHER_CTX_free(context_);
    require(false, "set up AES-256-GCM");
  }
}

GcmCipher::~GcmCipher() {
  EVP_CIPHER_CTX_free(context_);
}

void GcmCipher::seal(const unsigned char* nonce, std::string_view aad, unsigned char* data,
                     std::size_t size, unsigned char* tag) {
  int length = 0;
  require(EVP_EncryptInit_ex(context_, nullptr, nullptr, nullptr, nonce) == 1, "seal a record");
  require(
      EVP_EncryptUpdate(context_, nullptr, &length,
                        reinterpret_cast<const unsigned char*>(aad.data()), toInt(aad.size())) == 1,
      "seal a record");
  if (size > 0) {
    require(EVP_EncryptUpdate(context_, data, &length, data, toInt(size)) == 1 &&
                static_cast<std::size_t>(length) == size,
            "seal a record");
  }
  require(EVP_EncryptFinal_ex(context_, data + size, &length) == 1 && length == 0, "seal a record");
  require(EVP_CIPHER_CTX_ctrl(context_, EVP_CTRL_GCM_GET_TAG, static_cast<int>(tagSize), tag) == 1,
          "seal a record");
}

void GcmCipher::open(const unsigned char* nonce, std::string_view aad, unsigned char* data,
                     std::size_t size, const unsigned char* tag) {
  int length = 0;
  require(EVP_DecryptInit_ex(context_, nullptr, nullptr, nullptr, nonce) == 1, "open a record");
  require(
      EVP_DecryptUpdate(context_, nullptr, &length,
                        reinterpret_cast<const unsigned char*>(aad.data()), toInt(aad.size())) == 1,
      "open a record");
  if (size > 0) {
    require(EVP_DecryptUpdate(context_, data, &length, data, toInt(size)) == 1 &&
                static_cast<std::size_t>(length) == size,
            "open a record");
  }
  // The library only reads the tag, but its interface takes a mutable pointer.
  require(EVP_CIPHER_CTX_ctrl(context_, EVP_CTRL_GCM_SET_TAG, static_cast<int>(tagSize),
                              const_cast<unsigned char*>(tag)) == 1,
          "open a record");
  if (EVP_DecryptFinal_ex(context_, data + size, &length) != 1) {
    // The plaintext already written into `data` is unauthenticated; never let it out.
    OPENSSL_cleanse(data, size);
    throw CryptoError(
        "The encrypted build could not be authenticated (wrong key, wrong job or altered data).");
  }
}

void randomFill(unsigned char* out, std::size_t count) {
  require(RAND_bytes(out, toInt(count)) == 1, "produce random bytes");
}

void adviseSequential(int fd) noexcept {
  (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
}

UniqueFd createOutput(const std::filesystem::path& output, int inputFd) {
  struct stat input {};
  struct stat existing {};
  if (::stat(output.c_str(), &existing) == 0 && ::fstat(inputFd, &input) == 0 &&
      input.st_dev == existing.st_dev && input.st_ino == existing.st_ino) {
    throw VEKError("Cannot write " + output.string() + ": it is the file being read");
  }
  return createPrivateFile(output);
}

struct BackgroundWriter::State {
  int fd;
  std::filesystem::path path;
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

BackgroundWriter::BackgroundWriter(int fd, const std::filesystem::path& path)
    : state_(std::make_unique<State>()) {
  state_->fd = fd;
  state_->path = path;
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

void copyRest(int in, const std::filesystem::path& inPath, int out,
              const std::filesystem::path& outPath,
              const std::function<void(const unsigned char*, std::size_t)>& inspect) {
  constexpr std::size_t piece = ArtifactCrypto::chunkSize;
  std::unique_ptr<unsigned char[]> buffers[2] = {makeBuffer(piece), makeBuffer(piece)};
  BackgroundWriter writer(out, outPath);
  for (int turn = 0;; turn ^= 1) {
    std::size_t size = readBytes(in, buffers[turn].get(), piece, inPath);
    if (size == 0) break;
    if (inspect) inspect(buffers[turn].get(), size);
    writer.write(buffers[turn].get(), size);
  }
  writer.finish();
}

std::size_t readBytes(int fd, unsigned char* buffer, std::size_t size,
                      const std::filesystem::path& path) {
  return readFully(fd, reinterpret_cast<char*>(buffer), size, path);
}

void writeBytes(int fd, const unsigned char* data, std::size_t size,
                const std::filesystem::path& path) {
  writeFully(fd, std::string_view(reinterpret_cast<const char*>(data), size), path);
}

}  // namespace vek::artifacts
