// Incremental SHA-256, for code that digests a stream as it moves (uploads, downloads, unpacking)
// rather than reading a file twice.
#pragma once

#include <cstddef>
#include <string>

struct evp_md_ctx_st;

namespace vek::artifacts {

class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  /// Adds `size` bytes at `data` to the digest.
  void update(const unsigned char* data, std::size_t size);
  /// The digest as 64 lower-case hexadecimal digits; ends the computation.
  std::string hexDigest();

 private:
  evp_md_ctx_st* context_;
};

}  // namespace vek::artifacts
