#include "projects/project_store.h"

#include <cerrno>

#include "foundation/errors.h"
#include "foundation/file.h"
#include "foundation/file_lock.h"
#include "foundation/paths.h"

namespace vek::ProjectStore {

namespace {

// The registry as stored; the caller holds the lock.
std::vector<Project> read() {
  const std::filesystem::path path = file();
  std::string bytes;
  try {
    bytes = readFile(path);
  } catch (const SystemError& error) {
    if (error.code() == ENOENT) return {};
    throw;
  }
  const std::string where = "The project registry " + path.string() + " is not valid: ";
  JSON list;
  try {
    list = JSON::decode(bytes);
  } catch (const DecodingError& error) {
    throw DecodingError(where + error.what());
  }
  if (!list.isArray()) throw DecodingError(where + "it is not a JSON array");
  std::vector<Project> projects;
  for (const JSON& element : list.items()) {
    try {
      projects.push_back(Project::decode(element));
    } catch (const DecodingError& error) {
      throw DecodingError(where + "in project " + std::to_string(projects.size() + 1) + ", " +
                          error.what());
    }
  }
  return projects;
}

// Replaces the registry; the caller holds the lock.
void write(const std::vector<Project>& projects) {
  JSON list = JSON::array();
  for (const Project& project : projects)
    list.push(project.encoded());
  const std::string bytes = list.data();
  Paths::atomicWrite(bytes, Paths::directory("") / "projects.json");
}

// Holds every other process that writes the registry (the command line, the agent, the desktop
// app) off for one read-modify-write, so that registrations made at the same time are all kept;
// the caller holds the in-process lock. Creates the state directory, which the write needs anyway.
ExclusiveFileLock lockBetweenProcesses() {
  return ExclusiveFileLock(Paths::directory("") / "projects.json.lock");
}

}  // namespace

std::filesystem::path file() {
  return Paths::root() / "projects.json";
}

std::mutex& lock() {
  static std::mutex registry;
  return registry;
}

std::vector<Project> load() {
  std::lock_guard guard(lock());
  return read();
}

void upsert(const Project& project) {
  std::lock_guard guard(lock());
  ExclusiveFileLock between = lockBetweenProcesses();
  std::vector<Project> projects = read();
  std::erase_if(projects, [&](const Project& existing) {
    return existing.id == project.id || existing.path == project.path;
  });
  projects.push_back(project);
  write(projects);
}

void remove(std::string_view id) {
  std::lock_guard guard(lock());
  ExclusiveFileLock between = lockBetweenProcesses();
  std::vector<Project> projects = read();
  std::erase_if(projects, [&](const Project& existing) { return existing.id == id; });
  write(projects);
}

}  // namespace vek::ProjectStore
