#include "test_support.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace vek::testing {

namespace fs = std::filesystem;

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "vek-test-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Restore permissions a test may have taken away so everything can be removed.
  for (auto it = fs::recursive_directory_iterator(path_, ignored);
       it != fs::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored))
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
  }
  fs::remove_all(path_, ignored);
}

ProgramResult runProgram(const fs::path& program, const std::vector<std::string>& arguments,
                         const std::map<std::string, std::optional<std::string>>& environment,
                         const std::optional<fs::path>& cwd) {
  TempDir captures;
  fs::path outPath = captures / "out", errPath = captures / "err";

  std::map<std::string, std::string> env;
  for (char** entry = environ; *entry; ++entry) {
    std::string text(*entry);
    auto equals = text.find('=');
    if (equals != std::string::npos) env[text.substr(0, equals)] = text.substr(equals + 1);
  }
  for (const auto& [key, value] : environment) {
    if (value)
      env[key] = *value;
    else
      env.erase(key);
  }
  std::vector<std::string> envText;
  for (const auto& [key, value] : env)
    envText.push_back(key + "=" + value);
  std::vector<char*> envp;
  for (auto& text : envText)
    envp.push_back(text.data());
  envp.push_back(nullptr);

  std::vector<std::string> argText{program.string()};
  argText.insert(argText.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& text : argText)
    argv.push_back(text.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  if (cwd) posix_spawn_file_actions_addchdir_np(&actions, cwd->c_str());
  pid_t pid;
  int error = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0)
    throw std::runtime_error("cannot start " + program.string() + ": " + std::strerror(error));
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throw std::runtime_error("waitpid failed");
  }
  ProgramResult result;
  result.out = readText(outPath);
  result.err = readText(errPath);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

CStringArray::CStringArray(std::vector<std::string> strings) : strings_(std::move(strings)) {
  for (std::string& text : strings_)
    pointers_.push_back(text.data());
  pointers_.push_back(nullptr);
}

CStringArray argumentVector(const fs::path& program, const std::vector<std::string>& arguments) {
  std::vector<std::string> text{program.string()};
  text.insert(text.end(), arguments.begin(), arguments.end());
  return CStringArray(std::move(text));
}

fs::path programDirectory() {
  const char* build = std::getenv("VEK_BUILD_DIR");
  if (!build) throw std::runtime_error("VEK_BUILD_DIR is not set (run the tests through ctest)");
  return fs::path(build) / "bin";
}

fs::path sourceDirectory() {
  const char* source = std::getenv("VEK_SOURCE_DIR");
  if (!source) throw std::runtime_error("VEK_SOURCE_DIR is not set (run the tests through ctest)");
  return source;
}

ScopedEnvironment::ScopedEnvironment(const char* name, const char* value) : name_(name) {
  if (const char* old = std::getenv(name)) previous_ = old;
  if (value) {
    ::setenv(name, value, 1);
  } else {
    ::unsetenv(name);
  }
}

ScopedEnvironment::~ScopedEnvironment() {
  if (previous_) {
    ::setenv(name_, previous_->c_str(), 1);
  } else {
    ::unsetenv(name_);
  }
}

void writeText(const fs::path& path, const std::string& content) {
  if (path.has_parent_path()) fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string readText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

std::vector<ProcessEntry> runningProcesses() {
  std::vector<ProcessEntry> found;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/proc", error)) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    // Read with read(2): a process that exits mid-read fails the read with ESRCH, which a stream
    // iterator would turn into an exception.
    const int fd = ::open((entry.path() / "cmdline").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    std::string command;
    char buffer[4096];
    ssize_t got;
    while ((got = ::read(fd, buffer, sizeof buffer)) > 0)
      command.append(buffer, got);
    ::close(fd);
    if (got < 0 || command.empty()) continue;
    for (char& c : command) {
      if (c == '\0') c = ' ';
    }
    found.push_back({std::stoi(name), std::move(command)});
  }
  return found;
}

}  // namespace vek::testing
