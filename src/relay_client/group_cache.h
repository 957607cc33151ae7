// What this Mac last saw of its group, kept for shell completion: the ids and names of the
// group's Macs and of the iPhones and iPads attached to them.
//
// Completion never asks the relay, so the cache is written wherever the group's Macs and phones
// are fetched anyway: by every command that reads the group from the relay, and by the agent for
// the phones attached to this Mac. The file, "group-ids.tsv" in the state directory, is plain
// lines a shell reads without a JSON parser: "mac", the Mac's id and its name, separated by tabs;
// then "phone", the UDID, the phone's name and the id of its Mac.
//
// The relay's texts are untrusted and end up on a command line: an id is kept only when it is 1
// to 128 letters, digits, dots, hyphens and underscores; a name has its control characters (tabs
// and line breaks included) replaced by spaces and is cut to 64 characters. Revoked Macs and
// their phones are left out. The file is replaced whole and owner-only; a cache that cannot be
// written is no failure of the command that fetched the group.
#pragma once

#include <filesystem>
#include <string>

#include "foundation/json.h"

namespace vek::GroupCache {

/// "group-ids.tsv" under the state directory (nothing is created).
std::filesystem::path file();

/// Replaces the cache with the Macs of `group` (an answer of GET /v1/group) and the phones of
/// their inventories. Never throws.
void remember(const JSON& group) noexcept;

/// Replaces, in the cache, the phones of Mac `macID` with `phones` (device records as
/// Devices::list returns them) and names the Mac `macName`; every other line stays. Never throws.
void rememberPhones(const std::string& macID, const std::string& macName,
                    const JSON& phones) noexcept;

}  // namespace vek::GroupCache
