// The two byte formats that carry a build between the Macs of a group, and the file digest.
//
// An encrypted artifact is the magic "VEKENC1\n" followed by records, each a 4-byte big-endian
// length and a chunk sealed with AES-256-GCM (12-byte random nonce, ciphertext, 16-byte tag).
// Data records hold 1 byte to 4 MiB of plaintext; one record of exactly 28 bytes (an empty
// plaintext) closes the stream and nothing may follow it. Every record is authenticated together
// with "<job>:<index>:data" or "<job>:<index>:end", so dropping, reordering or splicing records,
// or moving them to another job, makes decryption fail instead of yielding a shorter or mixed
// build.
//
// A build package is the magic "VEKPKG1\n", a 4-byte big-endian manifest length (1 to
// 1,048,575), the manifest as compact JSON, then the IPA up to the end of the file. The manifest
// carries the IPA's SHA-256 as "ipa_sha256", which unpacking verifies.
//
// Everything streams in 4 MiB pieces, so memory stays bounded whatever the size of the build.
// Files written here are regular files, created with mode 0600 and truncated first. No
// operation writes over the file it reads, or into a device or FIFO: such an output is refused
// before anything is truncated.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

#include "foundation/json.h"

namespace vek {

/// The operations on encrypted artifacts and build packages. Stateless.
///
/// Failures: `VEKError` with the format's fixed messages, `CryptoError`, `SystemError` for a file
/// that cannot be opened, read or written, and `DecodingError` for a manifest that is not JSON.
struct ArtifactCrypto {
  static constexpr std::string_view artifactMagic{"VEKENC1\n", 8};
  static constexpr std::string_view packageMagic{"VEKPKG1\n", 8};
  /// Plaintext bytes per data record, and the piece size of every streamed copy.
  static constexpr std::size_t chunkSize = 4 * 1024 * 1024;
  /// Largest manifest a package can carry.
  static constexpr std::size_t maxManifestSize = 1024 * 1024 - 1;

  /// A fresh group key: 32 bytes from the cryptographic random source, as padded standard
  /// Base64 (44 characters).
  static std::string newKey();

  /// Writes the encrypted artifact of `input` to `to`, sealed with `key` (Base64 of 32 bytes) and
  /// bound to `job`, and returns the SHA-256 of the artifact as written (64 lower-case hexadecimal
  /// digits, as `sha256(to)` would give), so an upload need not read the file a second time. A bad
  /// key fails with "Invalid group encryption key" before any file is opened. After any later
  /// failure the partial output stays where it is.
  static std::string encrypt(const std::filesystem::path& input, const std::filesystem::path& to,
                             std::string_view key, std::string_view job);

  /// Checks and decrypts the artifact in `input` into `to`; `key` and `job` must be those used to
  /// encrypt. A bad key or header fails before the output is created (an existing file there is
  /// left alone); any failure after that empties and removes the output, so a caller never finds
  /// a partial decryption. Messages: "Invalid group encryption key", "Invalid VEK artifact
  /// header", "Truncated encrypted build", "Invalid encrypted chunk", "Unexpected data after
  /// encrypted build", and CryptoError when a record does not authenticate.
  static void decrypt(const std::filesystem::path& input, const std::filesystem::path& to,
                      std::string_view key, std::string_view job);

  /// The SHA-256 of the file's bytes as 64 lower-case hexadecimal digits.
  static std::string sha256(const std::filesystem::path& file);

  /// Writes the build package of `ipa` with `manifest` (rendered compactly) to `to`. The manifest's
  /// "ipa_sha256" is the caller's to set; nothing is computed here. A manifest of 1 MiB or more
  /// fails with "Manifest too large", and a missing IPA with its file error, before `to` is
  /// created.
  static void package(const std::filesystem::path& ipa, const JSON& manifest,
                      const std::filesystem::path& to);

  /// Writes the encrypted artifact of the build package of `ipa` with `manifest` to `artifact`, and
  /// returns the artifact's SHA-256 as `encrypt` does. The IPA is read once and the package is
  /// never written: the artifact is exactly what `package` followed by `encrypt` would write (the
  /// nonces apart). As in `package`, "ipa_sha256" is the caller's to set. Fails as `package` and
  /// `encrypt`: a bad key, a manifest of 1 MiB or more or a missing IPA fail before the artifact
  /// is created; a later failure leaves a partial artifact behind. The artifact may not be the
  /// IPA.
  static std::string packageAndEncrypt(const std::filesystem::path& ipa, const JSON& manifest,
                                       const std::filesystem::path& artifact, std::string_view key,
                                       std::string_view job);

  /// Decrypts `artifact` and unpacks the package inside it into `ipa`; returns the manifest. The
  /// artifact is read once and the package is never written. Fails with the errors of `decrypt`
  /// followed by `unpack`, and in the same order: a fault of the artifact is reported even when
  /// the package inside it is malformed too. A bad key or header fails before the IPA is created;
  /// any later failure empties and removes it. The IPA may not be the artifact.
  static JSON decryptAndUnpack(const std::filesystem::path& artifact,
                               const std::filesystem::path& ipa, std::string_view key,
                               std::string_view job);

  /// Writes the IPA part of the package `input` to `ipa` and returns the manifest once the IPA's
  /// digest equals the manifest's "ipa_sha256" string exactly. Messages: "Invalid build package",
  /// "Invalid build manifest", the JSON decoder's error, "Package checksum mismatch". A failure
  /// after `ipa` was created leaves it in place.
  static JSON unpack(const std::filesystem::path& input, const std::filesystem::path& ipa);
};

}  // namespace vek
