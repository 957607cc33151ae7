#include "artifacts/gcm_cipher.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <climits>
#include <stdexcept>
#include <string>

#include "foundation/errors.h"

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

void GcmCipher::seal(const unsigned char* nonce, std::string_view aad, const unsigned char* plain,
                     std::size_t size, unsigned char* sealed, unsigned char* tag) {
  int length = 0;
  require(EVP_EncryptInit_ex(context_, nullptr, nullptr, nullptr, nonce) == 1, "seal a record");
  require(
      EVP_EncryptUpdate(context_, nullptr, &length,
                        reinterpret_cast<const unsigned char*>(aad.data()), toInt(aad.size())) == 1,
      "seal a record");
  if (size > 0) {
    require(EVP_EncryptUpdate(context_, sealed, &length, plain, toInt(size)) == 1 &&
                static_cast<std::size_t>(length) == size,
            "seal a record");
  }
  require(EVP_EncryptFinal_ex(context_, sealed + size, &length) == 1 && length == 0,
          "seal a record");
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

}  // namespace vek::artifacts
