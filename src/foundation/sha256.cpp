#include "foundation/sha256.h"

#include <openssl/evp.h>

#include <string>

#include "foundation/errors.h"
#include "foundation/text.h"

namespace vek {

namespace {

void require(bool ok, const char* what) {
  if (!ok) throw CryptoError(std::string("The cryptographic library failed to ") + what + ".");
}

}  // namespace

Sha256::Sha256() : context_(EVP_MD_CTX_new()) {
  require(context_ != nullptr, "create a digest context");
  if (EVP_DigestInit_ex(context_, EVP_sha256(), nullptr) != 1) {
    EVP_MD_CTX_free(context_);
    require(false, "set up SHA-256");
  }
}

Sha256::~Sha256() {
  EVP_MD_CTX_free(context_);
}

void Sha256::update(const unsigned char* data, std::size_t size) {
  require(EVP_DigestUpdate(context_, data, size) == 1, "compute a SHA-256 digest");
}

std::string Sha256::digest() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  require(EVP_DigestFinal_ex(context_, digest, &length) == 1 && length == 32,
          "compute a SHA-256 digest");
  return std::string(reinterpret_cast<const char*>(digest), length);
}

std::string Sha256::hexDigest() {
  return text::hex(digest());
}

}  // namespace vek

namespace vek {

std::string Sha256::digestOf(std::string_view bytes) {
  Sha256 sha;
  sha.update(bytes);
  return sha.digest();
}

std::string Sha256::hexOf(std::string_view bytes) {
  return text::hex(digestOf(bytes));
}

}  // namespace vek
