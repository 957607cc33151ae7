// Which file the agent's service runs.
//
// Started through the search path, `vek`'s first argument is the bare word "vek", which names no
// file in the working directory. The service must run the program that is running now, so a first
// argument without a slash gives way to the path of the running executable.
#pragma once

#include <filesystem>
#include <string>

namespace vek::cli {

/// `argument0` when it holds a slash (a path the caller chose, symbolic links included);
/// otherwise the absolute path of the running executable, or `argument0` unchanged when the
/// system cannot tell it.
std::filesystem::path agentExecutable(const std::string& argument0);

/// The absolute path of the running executable; empty when the system cannot tell it.
std::filesystem::path runningExecutable();

}  // namespace vek::cli
