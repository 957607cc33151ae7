#include "agent/agent_service.h"

#include <unistd.h>

#include <system_error>

#include "agent/agent_status.h"
#include "agent/service_manager.h"
#include "foundation/credentials.h"
#include "foundation/errors.h"
#include "foundation/paths.h"

namespace vek::AgentService {

namespace {

namespace fs = std::filesystem;

fs::path resolveTool(const fs::path& executable) {
  std::error_code error;
  fs::path resolved = fs::absolute(executable, error);
  if (!error) resolved = fs::canonical(resolved, error);
  if (error || !fs::is_regular_file(resolved, error) || ::access(resolved.c_str(), X_OK) != 0) {
    throw VEKError("VEK CLI executable not found");
  }
  return resolved;
}

}  // namespace

void install(const fs::path& executable) {
  const fs::path tool = resolveTool(executable);
  CredentialStore::require();
  const fs::path logs = Paths::directory("Logs");
  ServiceDefinition definition;
  definition.label = label;
  definition.programArguments = {tool.string(), "agent", "run"};
  definition.standardOutPath = logs / "agent.log";
  definition.standardErrorPath = logs / "agent-error.log";
  definition.path = ServiceDefinitions::agentPath;
  ServiceManager::make(ServiceManager::current())->install(definition);
}

void uninstall() {
  ServiceManager::make(ServiceManager::current())->uninstall(label);
}

JSON status() {
  std::optional<std::string> contents;
  try {
    contents = AgentStatus::read(AgentStatus::file());
  } catch (const std::exception&) {
    // No state directory can be named at all: no agent has reported.
  }
  return AgentStatus::evaluate(contents, AgentStatus::now());
}

}  // namespace vek::AgentService
