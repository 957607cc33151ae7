// Reading an encrypted artifact: its magic, then its records in order, each opened (decrypted and
// authenticated against the job, its position and its kind) before its text is handed on. The
// operations that decrypt to one file or straight into a package share this loop, so the framing
// rules and their messages live in one place. Internal to the library.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <string_view>

#include "artifacts/group_key.h"

namespace vek::artifacts {

/// Reads the artifact's magic from `fd`. Throws VEKError "Invalid VEK artifact header" when the
/// file is shorter or starts otherwise; `artifact` names the file in read errors.
void readArtifactHeader(int fd, const std::filesystem::path& artifact);

/// The two record buffers `openRecords` alternates between, one opened while the other's text is
/// still being written; each grows to the largest record it meets, so a small artifact never costs
/// a 4 MiB allocation. Owned by the caller and declared before whatever may still hold a text (a
/// background writer), so the buffers outlive it on every way out, a thrown error included.
struct RecordBuffers {
  std::unique_ptr<unsigned char[]> records[2];
  std::size_t capacities[2] = {0, 0};
};

/// Reads and opens the records that follow the magic, calling `plaintext` with each data record's
/// text in order, and returns after the end record when nothing follows it. A text lives in
/// `buffers` and stays untouched until `plaintext` has been called once more, so a background
/// writer may still hold the previous one. Throws VEKError "Truncated encrypted build", "Invalid
/// encrypted chunk" or "Unexpected data after encrypted build", and CryptoError for a record
/// that fails authentication (a wrong key, another job, a changed byte, a moved record).
void openRecords(int fd, const std::filesystem::path& artifact, const GroupKey& key,
                 std::string_view job, RecordBuffers& buffers,
                 const std::function<void(const unsigned char* text, std::size_t size)>& plaintext);

}  // namespace vek::artifacts
