// Inspection: from a path as a person typed it to a complete project record.
//
// The path is first turned into one canonical absolute path, so that "~/Apps/A.xcodeproj/",
// "../Apps/./A.xcodeproj" and a symbolic link to it all name the same registration. Only then is
// anything run: xcodebuild's own listing gives the shared schemes and, for a project, the build
// configurations. A workspace's listing has no configurations, so they are collected from the
// listings of the .xcodeproj folders beside the workspace; a neighbour whose listing fails is
// skipped, and when none yields any the usual pair "Debug", "Release" stands in.
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <set>
#include <system_error>

#include "foundation/developer_tools.h"
#include "foundation/errors.h"
#include "foundation/process_runner.h"
#include "foundation/random.h"
#include "foundation/task.h"
#include "projects/project_store.h"

namespace vek::ProjectStore {

namespace {

namespace fs = std::filesystem;

// xcodebuild resolves packages and indexes large workspaces before it lists; the neighbours only
// contribute configurations, so they get less time.
constexpr double listingTimeout = 600;
constexpr double neighbourListingTimeout = 180;

std::optional<std::string> homeOf(std::string_view user) {
  if (user.empty()) {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
  }
  std::string buffer(16384, '\0');
  passwd entry{};
  passwd* found = nullptr;
  const int status =
      user.empty()
          ? ::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found)
          : ::getpwnam_r(std::string(user).c_str(), &entry, buffer.data(), buffer.size(), &found);
  if (status != 0 || !found || !entry.pw_dir) return std::nullopt;
  return std::string(entry.pw_dir);
}

// "~" and "~/x" name the user's home, "~name/x" that user's; an unknown user leaves the text as is.
std::string expandTilde(std::string_view path) {
  if (!path.starts_with("~")) return std::string(path);
  const std::size_t slash = path.find('/');
  const std::string_view user =
      path.substr(1, slash == std::string_view::npos ? path.npos : slash - 1);
  const std::optional<std::string> home = homeOf(user);
  if (!home) return std::string(path);
  return *home + std::string(slash == std::string_view::npos ? "" : path.substr(slash));
}

fs::path resolve(std::string_view typed) {
  fs::path path = expandTilde(typed);
  if (path.is_relative()) path = fs::current_path() / path;
  path = path.lexically_normal();
  // "A.xcodeproj/" normalises to "A.xcodeproj/" with an empty last component; drop it.
  while (!path.has_filename() && path.has_relative_path())
    path = path.parent_path();
  std::error_code error;
  fs::path resolved = fs::weakly_canonical(path, error);
  return error ? path : resolved;
}

// The container of a listing: its "workspace" member unless that is missing or null, else its
// "project" member; null when that is not an object.
const JSON& container(const JSON& listing) {
  const char* key = listing["workspace"].isNull() ? "project" : "workspace";
  const JSON& found = listing[key];
  static const JSON none;
  return found.isObject() ? found : none;
}

std::vector<std::string> strings(const JSON& array) {
  std::vector<std::string> result;
  for (const JSON& element : array.items()) {
    if (element.isString()) result.push_back(element.text());
  }
  return result;
}

JSON list(const std::vector<std::string>& selection, double timeout) {
  return JSON::decode(
      ProcessRunner::run(DeveloperTools::listContainer(selection).invocation(timeout)).output,
      "xcodebuild wrote a project listing that is not valid JSON");
}

// The configurations the .xcodeproj folders in `directory` list, in listing order.
std::vector<std::string> neighbourConfigurations(const fs::path& directory) {
  std::vector<fs::path> neighbours;
  std::error_code error;
  for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
    if (it->path().extension() == ".xcodeproj") neighbours.push_back(it->path());
  }
  std::vector<std::string> configurations;
  for (const fs::path& neighbour : neighbours) {
    JSON listing;
    try {
      listing = list({"-project", neighbour.string()}, neighbourListingTimeout);
    } catch (const CancellationError&) {
      throw;
    } catch (const std::exception&) {
      continue;  // a neighbour that cannot be listed contributes nothing
    }
    const JSON& found = listing["project"]["configurations"];
    if (found.isArray()) {
      for (std::string& name : strings(found))
        configurations.push_back(std::move(name));
    }
  }
  return configurations;
}

}  // namespace

Project inspect(std::string_view typedPath, const std::optional<std::string>& name,
                const std::optional<std::string>& team,
                const std::optional<std::string>& exportOptions, bool automatic) {
  const fs::path path = resolve(typedPath);
  const std::string extension = path.extension().string();
  std::error_code error;
  if ((extension != ".xcodeproj" && extension != ".xcworkspace") || !fs::exists(path, error)) {
    throw VEKError(std::string(notAProjectMessage));
  }
  task::checkCancelled();

  Project project;
  project.path = path.string();
  const JSON listing = list(project.selection(), listingTimeout);
  const JSON& found = container(listing);
  project.schemes = strings(found["schemes"]);
  if (project.schemes.empty()) throw VEKError(std::string(noSchemesMessage));

  std::vector<std::string> configurations = strings(found["configurations"]);
  if (configurations.empty()) configurations = neighbourConfigurations(path.parent_path());
  if (configurations.empty()) configurations = {"Debug", "Release"};
  const std::set<std::string> unique(configurations.begin(), configurations.end());
  project.configurations.assign(unique.begin(), unique.end());

  // The id of an earlier registration of this path is kept, so registering again replaces it.
  std::optional<std::string> id;
  for (const Project& registered : load()) {
    if (registered.path == project.path) {
      id = registered.id;
      break;
    }
  }
  project.id = id ? *id : randomUUID();
  project.name = name ? *name : path.stem().string();
  project.teamID = team;
  project.exportOptionsPath = exportOptions;
  project.automaticSigning = automatic;
  return project;
}

}  // namespace vek::ProjectStore
