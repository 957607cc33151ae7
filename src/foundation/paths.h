// Where VEK keeps its state, and the one way a state file is replaced.
//
// Everything the system keeps lives under one private state directory: VEK_STATE_DIR when that
// variable is set (even to an empty value, which means the working directory), else
// ${XDG_DATA_HOME:-$HOME/.local/share}/VEK, the per-user data directory that plays the role of
// Application Support here. Nothing is cached: every call reads the environment again, so a test
// that points VEK_STATE_DIR elsewhere takes effect at once.
//
// Directories are created owner-only (0700) and only on demand; files are replaced atomically and
// left owner-only (0600).
#pragma once

#include <filesystem>
#include <string_view>

namespace vek::Paths {

/// The state directory. Creates nothing. Throws SystemError only when neither VEK_STATE_DIR,
/// XDG_DATA_HOME, HOME nor the password database names a place for it.
std::filesystem::path root();

/// The current user's home directory: HOME when set and not empty, else the password database's
/// entry. Throws SystemError "Cannot find the home directory: ..." when neither names one.
std::filesystem::path home();

/// The per-user data directory: XDG_DATA_HOME when it is an absolute path (a relative one is
/// invalid by the XDG rules and ignored), else ".local/share" in the home directory (HOME when
/// set and not empty, else the password database's entry). Creates nothing. Throws SystemError
/// "Cannot find the home directory: ..." when no home directory is known, so that nothing is
/// ever placed relative to the working directory by accident.
std::filesystem::path dataHome();

/// The state directory (empty `name`) or `name` below it, created with every missing level at mode
/// 0700; levels that already exist keep their mode. `name` may hold "/" to name a nested path; it
/// is always appended below the state directory (a leading "/" does not escape it), and "." or
/// ".." components are refused with SystemError (EINVAL) so an id taken from outside cannot climb
/// out. Throws SystemError when a level cannot be created or is not a directory.
std::filesystem::path directory(std::string_view name);

/// Replaces the file at `path` with `bytes`: a reader sees the old content or the new, never a
/// mixture, and the result has mode 0600 whatever the old file had. The bytes go to a temporary
/// file beside the target, which is flushed to disk and renamed over it; the directory is flushed
/// after. Throws SystemError; on failure no temporary file is left behind and the old content, if
/// any, is untouched.
void atomicWrite(std::string_view bytes, const std::filesystem::path& path);

}  // namespace vek::Paths
