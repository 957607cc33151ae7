// Helpers shared by tests that work with real files and real processes.
#pragma once

#include <exception>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vek::testing {

/// A fresh private directory under the system temp dir, removed with everything in it on
/// destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

/// What a finished program left behind.
struct ProgramResult {
  std::string out;
  std::string err;
  /// Exit status, or 128 + signal number when it was killed.
  int status = -1;
};

/// Runs `program` with `arguments`, the current environment changed by `environment` (a value of
/// std::nullopt removes the variable), optionally in `cwd` and with `input` on standard input;
/// waits for it and returns its output. Throws std::runtime_error when it cannot start.
ProgramResult runProgram(const std::filesystem::path& program,
                         const std::vector<std::string>& arguments,
                         const std::map<std::string, std::optional<std::string>>& environment = {},
                         const std::optional<std::filesystem::path>& cwd = std::nullopt);

/// Strings held together with the null-terminated array of pointers to them that posix_spawn and
/// the exec family take for argv and envp.
class CStringArray {
 public:
  explicit CStringArray(std::vector<std::string> strings);
  CStringArray(const CStringArray&) = delete;
  CStringArray& operator=(const CStringArray&) = delete;
  char* const* data() { return pointers_.data(); }

 private:
  std::vector<std::string> strings_;
  std::vector<char*> pointers_;
};

/// `program` followed by `arguments`, as one argv.
CStringArray argumentVector(const std::filesystem::path& program,
                            const std::vector<std::string>& arguments);

/// The build tree's directory of programs (vek, vek-relay, vek-artifact, ...).
std::filesystem::path programDirectory();
/// The source tree's root.
std::filesystem::path sourceDirectory();

/// The what() of the `Error` that `body` throws, or "(no failure)" when it returns normally, so a
/// test states the exact message in one expectation.
template <typename Error = std::exception, typename Body>
std::string failureOf(Body&& body) {
  try {
    body();
  } catch (const Error& error) {
    return error.what();
  }
  return "(no failure)";
}

/// Sets (or, with nullptr, removes) an environment variable for the guard's lifetime and restores
/// the earlier state afterwards.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const char* value);
  ~ScopedEnvironment();
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  const char* name_;
  std::optional<std::string> previous_;
};

/// Writes `content` to `path`, creating parent directories.
void writeText(const std::filesystem::path& path, const std::string& content);
/// The content of `path`.
std::string readText(const std::filesystem::path& path);

/// One running process: its id and its arguments joined by spaces.
struct ProcessEntry {
  int pid;
  std::string command;
};
/// The processes running now. One that ends while it is being looked at is left out.
std::vector<ProcessEntry> runningProcesses();

}  // namespace vek::testing
