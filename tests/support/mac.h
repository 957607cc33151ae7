// One Mac of a test: a home of its own (and so its own secret store), a state directory and a
// temporary directory inside it, and optionally a simulated Mac made by vek-sim as its tool root.
// `vek` runs as a process in that environment, exactly as a person would run it.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "foundation/credentials.h"
#include "foundation/json.h"
#include "test_support.h"

namespace vek::testing {

class Mac {
 public:
  enum class Tools { none, simulated };

  /// A fresh home; with Tools::simulated also `vek-sim init` of a tool root inside it.
  explicit Mac(Tools tools = Tools::none);

  std::filesystem::path home() const { return home_.path(); }
  std::filesystem::path stateDirectory() const { return home_ / "state"; }
  /// The simulated Mac (only with Tools::simulated).
  std::filesystem::path toolRoot() const { return home_ / "mac"; }

  /// Runs `vek` with this Mac's environment, in `cwd` (the home when empty).
  ProgramResult vek(const std::vector<std::string>& arguments,
                    const std::filesystem::path& cwd = {}) const;
  /// This Mac's environment for a program, as `vek` gets it.
  std::map<std::string, std::optional<std::string>> environment() const;
  /// Runs `vek`, expects success with nothing on standard error, and returns the printed JSON.
  JSON ok(const std::vector<std::string>& arguments, const std::filesystem::path& cwd = {}) const;
  /// Runs `vek`, expects exit status 1 with nothing on standard output, and returns the message
  /// of the printed error object.
  std::string error(const std::vector<std::string>& arguments,
                    const std::filesystem::path& cwd = {}) const;

  /// The credentials in this Mac's secret store.
  std::optional<Credentials> credentials() const;
  /// Stores credentials for `server` as if the Mac had enrolled there.
  void enrolAt(const std::string& server) const;

 private:
  TempDir home_;
  Tools tools_;
};

/// Runs sim/vek-sim with `arguments` and expects it to succeed; returns its standard output.
std::string vekSim(const std::vector<std::string>& arguments);

}  // namespace vek::testing
