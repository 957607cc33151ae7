// The service manager that starts the agent at login and again after it fails.
//
// Two backends stand behind one interface. On a Mac it is launchd: a LaunchAgent property list in
// ~/Library/LaunchAgents, loaded into the user's gui domain with /bin/launchctl. On Linux it is
// the systemd user manager: a unit in ${XDG_CONFIG_HOME:-~/.config}/systemd/user, enabled with
// systemctl --user. The platform picks one; VEK_SERVICE_MANAGER=launchd|systemd overrides it, so
// both run everywhere (against the simulated Mac's stand-ins when VEK_TOOL_ROOT is set).
//
// Every tool runs through the process runner by its absolute path, with a 15 second time-out.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "agent/service_definition.h"

namespace vek {

class ServiceManager {
 public:
  enum class Kind { launchd, systemd };

  virtual ~ServiceManager() = default;

  /// The backend of this platform, or the one VEK_SERVICE_MANAGER names. Throws VEKError
  /// "Unknown service manager '<value>'. Use launchd or systemd." for any other non-empty value.
  static Kind current();
  static std::unique_ptr<ServiceManager> make(Kind kind);

  /// Where the definition of the service `label` is written.
  virtual std::filesystem::path definitionPath(const std::string& label) const = 0;

  /// Replaces any registration of `definition.label` with this one and starts it: the old one is
  /// removed (its failure ignored), the definition written atomically (0600, its folder created
  /// when missing), then loaded, which must succeed. Throws the process runner's error when it
  /// does not, CancellationError between the steps.
  virtual void install(const ServiceDefinition& definition) const = 0;

  /// Stops and removes the registration of `label` (its failure ignored), then deletes the
  /// definition file when there is one (a failure to delete it is thrown).
  virtual void uninstall(const std::string& label) const = 0;
};

}  // namespace vek
