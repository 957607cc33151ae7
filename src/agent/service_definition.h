// What the service manager is told to run: the agent's definition, and its two renderings.
//
// The same definition is written for launchd, as a LaunchAgent property list, and for systemd, as
// a user unit. Both say: run these program arguments at load, start them again at most every 15
// seconds after an unsuccessful exit and never after a successful one, append standard output
// and standard error to the two log files, and give the agent a PATH that reaches the tools of a
// developer's Mac.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace vek {

struct ServiceDefinition {
  /// The reverse-DNS name launchd and systemd know the agent by.
  std::string label;
  /// The executable's absolute path followed by its arguments.
  std::vector<std::string> programArguments;
  std::filesystem::path standardOutPath;
  std::filesystem::path standardErrorPath;
  /// The PATH the agent runs with.
  std::string path;
  /// Seconds between a failed run and the next start.
  int throttleInterval = 15;
};

namespace ServiceDefinitions {

/// The agent's PATH: Homebrew on Apple silicon and Intel first, then the system's folders.
inline constexpr const char* agentPath =
    "/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin";

/// The LaunchAgent as an XML property list: a dictionary with exactly Label, ProgramArguments,
/// RunAtLoad (true), KeepAlive ({SuccessfulExit: false}), ThrottleInterval, ProcessType
/// ("Background"), StandardOutPath, StandardErrorPath and EnvironmentVariables ({PATH}).
std::string launchAgentPlist(const ServiceDefinition& definition);

/// The systemd user unit. Every program argument is quoted and escaped so that systemd hands it
/// to the agent unchanged (spaces, quotes, backslashes, "%" and "$" included); the logs are
/// appended to, as launchd does. Throws VEKError when a log path holds a control character,
/// which a unit file has no way to express.
std::string systemdUnit(const ServiceDefinition& definition);

}  // namespace ServiceDefinitions

}  // namespace vek
