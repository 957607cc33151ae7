// Registering the agent with the service manager, and telling whether an agent is alive.
//
// `install` registers the command-line tool as a per-user service that runs "<tool> agent run" at
// login and again after every unsuccessful exit; `uninstall` removes it. Which service manager
// does the work is the platform's choice (see service_manager.h). `status` reads the status file
// the running worker keeps and never fails.
#pragma once

#include <filesystem>

#include "foundation/json.h"

namespace vek::AgentService {

inline constexpr const char* label = "com.ostrelsoftware.vek.agent";

/// Installs (or reinstalls) the agent. `executable` is the command-line tool: a relative path,
/// a bare name included, is taken relative to the working directory; symbolic links are
/// resolved, and the resolved path is what the service runs.
///
/// Throws VEKError "VEK CLI executable not found" when no executable file is there, VEKError
/// "This Mac is not enrolled. Use group create or group join first." without credentials, the
/// secret store's and the file system's errors, and the process runner's error when the service
/// manager refuses the new registration.
void install(const std::filesystem::path& executable);

/// Removes the registration and its definition file; succeeds when nothing was installed. The
/// status file, the logs and the lock file stay.
void uninstall();

/// The status file's members with "running" added; {"running": false} when there is no readable
/// status. Never throws.
JSON status();

}  // namespace vek::AgentService
