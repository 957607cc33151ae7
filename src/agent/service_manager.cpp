#include "agent/service_manager.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>
#include <vector>

#include "foundation/errors.h"
#include "foundation/paths.h"
#include "foundation/process_runner.h"
#include "foundation/task.h"

namespace vek {

namespace {

namespace fs = std::filesystem;

constexpr double toolTimeout = 15;

const char* environment(const char* name) {
  const char* value = std::getenv(name);
  return value && *value ? value : nullptr;
}

ProcessResult runTool(std::string executable, std::vector<std::string> arguments,
                      bool allowFailure) {
  ProcessRunner::Invocation invocation;
  invocation.executable = std::move(executable);
  invocation.arguments = std::move(arguments);
  invocation.timeout = toolTimeout;
  invocation.allowFailure = allowFailure;
  return ProcessRunner::run(invocation);
}

void writeDefinition(const std::string& text, const fs::path& path) {
  fs::create_directories(path.parent_path());
  Paths::atomicWrite(text, path);
}

void removeDefinition(const fs::path& path) {
  std::error_code error;
  if (!fs::exists(fs::symlink_status(path))) return;
  if (!fs::remove(path, error) && error) {
    throw SystemError("Cannot remove", path, error.value());
  }
}

class Launchd final : public ServiceManager {
 public:
  static constexpr const char* launchctl = "/bin/launchctl";

  fs::path definitionPath(const std::string& label) const override {
    return Paths::home() / "Library" / "LaunchAgents" / (label + ".plist");
  }

  void install(const ServiceDefinition& definition) const override {
    const fs::path plist = definitionPath(definition.label);
    const std::string text = ServiceDefinitions::launchAgentPlist(definition);
    fs::create_directories(plist.parent_path());
    task::checkCancelled();
    runTool(launchctl, {"bootout", domain() + "/" + definition.label}, true);
    writeDefinition(text, plist);
    task::checkCancelled();
    runTool(launchctl, {"bootstrap", domain(), plist.string()}, false);
  }

  void uninstall(const std::string& label) const override {
    task::checkCancelled();
    runTool(launchctl, {"bootout", domain() + "/" + label}, true);
    removeDefinition(definitionPath(label));
  }

 private:
  static std::string domain() { return "gui/" + std::to_string(::getuid()); }
};

class Systemd final : public ServiceManager {
 public:
  static constexpr const char* systemctl = "/usr/bin/systemctl";

  fs::path definitionPath(const std::string& label) const override {
    fs::path config = environment("XDG_CONFIG_HOME") ? fs::path(environment("XDG_CONFIG_HOME"))
                                                     : Paths::home() / ".config";
    return config / "systemd" / "user" / (label + ".service");
  }

  void install(const ServiceDefinition& definition) const override {
    const fs::path unit = definitionPath(definition.label);
    const std::string text = ServiceDefinitions::systemdUnit(definition);
    fs::create_directories(unit.parent_path());
    // Stopping the old registration first makes a second install restart the agent with the new
    // definition, as launchd's bootout and bootstrap do; "enable --now" alone would leave the
    // old process running.
    task::checkCancelled();
    runTool(systemctl, {"--user", "disable", "--now", unitName(definition.label)}, true);
    writeDefinition(text, unit);
    task::checkCancelled();
    runTool(systemctl, {"--user", "daemon-reload"}, false);
    task::checkCancelled();
    runTool(systemctl, {"--user", "enable", "--now", unitName(definition.label)}, false);
  }

  void uninstall(const std::string& label) const override {
    task::checkCancelled();
    runTool(systemctl, {"--user", "disable", "--now", unitName(label)}, true);
    removeDefinition(definitionPath(label));
    // Lets the user manager forget the unit; without a user manager there is nothing to forget.
    runTool(systemctl, {"--user", "daemon-reload"}, true);
  }

 private:
  static std::string unitName(const std::string& label) { return label + ".service"; }
};

}  // namespace

ServiceManager::Kind ServiceManager::current() {
  if (const char* value = environment("VEK_SERVICE_MANAGER")) {
    std::string name(value);
    if (name == "launchd") return Kind::launchd;
    if (name == "systemd") return Kind::systemd;
    throw VEKError("Unknown service manager '" + name + "'. Use launchd or systemd.");
  }
#ifdef __APPLE__
  return Kind::launchd;
#else
  return Kind::systemd;
#endif
}

std::unique_ptr<ServiceManager> ServiceManager::make(Kind kind) {
  if (kind == Kind::launchd) return std::make_unique<Launchd>();
  return std::make_unique<Systemd>();
}

}  // namespace vek
