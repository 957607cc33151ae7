// The project commands: register a project or workspace on this Mac, remove a registration, and
// list the projects of this Mac or of the whole group.
#include <filesystem>

#include "cli/commands.h"
#include "cli/group_lists.h"
#include "foundation/errors.h"
#include "projects/project_store.h"

namespace vek::cli {

namespace {

// The agent builds from another working directory than the one `projects add` ran in, so a
// relative export-options path is stored as the absolute path it named here.
std::optional<std::string> absolute(const std::optional<std::string>& path) {
  if (!path || path->empty() || std::filesystem::path(*path).is_absolute()) return path;
  return (std::filesystem::current_path() / *path).lexically_normal().string();
}

}  // namespace

Result projectsAdd(const CommandContext& context) {
  const Arguments& arguments = context.arguments;
  if (arguments.positional().size() != 3) {
    throw VEKError("Usage: vek projects add /path/App.xcodeproj");
  }
  const bool manual = arguments.has("--manual");
  const std::optional<std::string> exportOptions = arguments.value("--export-options");
  if (manual && !exportOptions) throw VEKError("Manual signing requires --export-options");

  Project project =
      ProjectStore::inspect(arguments.positional()[2], arguments.value("--name"),
                            arguments.value("--team"), absolute(exportOptions), !manual);
  ProjectStore::upsert(project);
  return project.json();
}

Result projectsRemove(const CommandContext& context) {
  const auto& positional = context.arguments.positional();
  if (positional.size() != 3) throw VEKError("Provide the local project ID");
  ProjectStore::remove(positional[2]);
  return JSON::object({{"ok", true}});
}

Result projectsListLocal(const CommandContext&) {
  JSON list = JSON::array();
  for (const Project& project : ProjectStore::load())
    list.push(project.json());
  return list;
}

Result projectsList(const CommandContext&, const Membership& membership) {
  return groupList(fetchGroup(membership.api), "projects");
}

}  // namespace vek::cli
