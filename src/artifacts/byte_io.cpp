#include "artifacts/byte_io.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <string_view>

#include "artifacts/artifact_crypto.h"
#include "artifacts/background_writer.h"
#include "foundation/errors.h"

namespace vek::artifacts {

void adviseSequential(int fd) noexcept {
  (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
}

UniqueFd createOutput(const std::filesystem::path& output, int inputFd) {
  return createOutput(output, {inputFd});
}

UniqueFd createOutput(const std::filesystem::path& output, std::initializer_list<int> openFds) {
  struct stat existing {};
  if (::stat(output.c_str(), &existing) == 0) {
    bool input = true;
    for (int fd : openFds) {
      struct stat open {};
      if (::fstat(fd, &open) == 0 && open.st_dev == existing.st_dev &&
          open.st_ino == existing.st_ino) {
        throw VEKError("Cannot write " + output.string() +
                       (input ? ": it is the file being read" : ": it is already being written"));
      }
      input = false;
    }
  }
  return createPrivateFile(output);
}

void copyRest(int in, const std::filesystem::path& inPath, int out,
              const std::filesystem::path& outPath, Sha256* digest) {
  constexpr std::size_t piece = ArtifactCrypto::chunkSize;
  std::unique_ptr<unsigned char[]> buffers[2] = {makeBuffer(piece), makeBuffer(piece)};
  BackgroundWriter writer(out, outPath, digest);
  for (int turn = 0;; turn ^= 1) {
    std::size_t size = readBytes(in, buffers[turn].get(), piece, inPath);
    if (size == 0) break;
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
