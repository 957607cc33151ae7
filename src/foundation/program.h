// Facts about the running program that several layers need.
#pragma once

#include <string>

namespace vek {

/// Records the path by which this program was started (its first process argument, unchanged).
/// Programs call it first thing in main.
void setProgramPath(std::string path);

/// The path recorded by setProgramPath, or "" when none was recorded.
const std::string& programPath();

}  // namespace vek
