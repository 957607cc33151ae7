// The projects registered on this Mac, kept in "projects.json" directly in the state directory.
//
// The file is one compact JSON array of project records in order of registration; registering a
// project again moves it to the end. Nothing is cached: every operation reads the file anew, so the
// command line, the agent and the desktop app, which all use the same file, see each other's
// changes. Within one process a single lock serialises every read and read-modify-write. Between
// processes an exclusive flock on "projects.json.lock" beside the file serialises every
// read-modify-write, so registrations made at the same time by several processes are all kept;
// each write replaces the whole file atomically (0600), so a reader, which takes no file lock,
// never sees half a file.
//
// A file that is not valid (not JSON, not an array, one element with a missing or mistyped
// member) makes every operation fail and is never rewritten: nothing is repaired or skipped, so a
// registry a person is fixing by hand is never overwritten with a partial list.
#pragma once

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "projects/project.h"

namespace vek::ProjectStore {

/// The message of `inspect` for a path that is not an existing project or workspace.
inline constexpr std::string_view notAProjectMessage =
    "Select an existing .xcodeproj or .xcworkspace.";
/// The message of `inspect` for a listing without a single shared scheme.
inline constexpr std::string_view noSchemesMessage =
    "No schemes found. Share your app scheme in Xcode and try again.";

/// The registry file: "projects.json" in the state directory. Creates nothing.
std::filesystem::path file();

/// The process-wide registry lock; held by every operation here for its whole read (and write).
std::mutex& lock();

/// The registered projects in file order; empty when the file does not exist (nothing is created).
/// Throws SystemError when the file cannot be read, DecodingError (naming the file) when it is not
/// a valid registry.
std::vector<Project> load();

/// Registers `project`, replacing every registration with the same id or the same path, and
/// appends it at the end. Creates the state directory (0700), the lock file and the registry when
/// missing. Throws as `load` does, without writing, or SystemError when the lock cannot be taken
/// or the write fails (the old file stays intact).
void upsert(const Project& project);

/// Removes the registration with this id. Writes the file even when nothing matched, and creates
/// it ("[]") when it did not exist. Throws as `upsert` does.
void remove(std::string_view id);

/// Builds the record of the project or workspace at `path` (which may start with "~" and may be
/// relative), asking xcodebuild for its schemes and configurations; stores nothing.
///
/// The path is made absolute, normalised ("." and ".." removed, no trailing slash) and resolved
/// through symbolic links, so every spelling of one location gives the same path and, once
/// registered, the same id. A workspace lists no configurations, so they are gathered from the
/// .xcodeproj folders beside it, falling back to "Debug" and "Release". `name` defaults to the
/// file name without extension; `team`, `exportOptions` and `automatic` are copied unchecked.
///
/// Throws VEKError(notAProjectMessage) before any tool runs when the resolved path does not end
/// in ".xcodeproj" or ".xcworkspace" (case-sensitive) or nothing exists there;
/// VEKError(noSchemesMessage) when the listing names no string scheme; CancellationError when the
/// current task is cancelled; and the process runner's, the decoder's and the registry's errors.
Project inspect(std::string_view path, const std::optional<std::string>& name,
                const std::optional<std::string>& team,
                const std::optional<std::string>& exportOptions, bool automatic);

}  // namespace vek::ProjectStore
