#pragma once

#include <string>

namespace vek::cli {

/// The usage text `vek --help` prints (without the final line break), built once.
const std::string& helpText();

}  // namespace vek::cli
