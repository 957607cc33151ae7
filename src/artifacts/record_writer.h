// Writing an encrypted artifact: its magic, then the plaintext sealed into records of 4 MiB, each
// bound to the job, its position and its kind, then the end record. The operations that encrypt a
// file and that pack an IPA straight into an artifact share this loop, so the framing lives in one
// place. Internal to the library.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "artifacts/group_key.h"

namespace vek::artifacts {

/// Writes to `out` the artifact whose plaintext is `prefix` followed by the rest of `in`, exactly
/// as encrypting a file of those bytes would (the records fall every 4 MiB of the plaintext), and
/// returns the SHA-256 of the bytes written as 64 lower-case hexadecimal digits. `prefix` must be
/// shorter than a record's plaintext. `input` and `output` name the files in errors. A failure
/// leaves what was written so far in place.
std::string sealRecords(int in, const std::filesystem::path& input, std::string_view prefix,
                        int out, const std::filesystem::path& output, const GroupKey& key,
                        std::string_view job);

}  // namespace vek::artifacts
