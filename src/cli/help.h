#pragma once

#include <string>
#include <string_view>

namespace vek::cli {

/// The usage text `vek --help` prints (without the final line break), built once.
const std::string& helpText();

/// The help line about --server for a build whose default relay is `builtIn`: the default itself,
/// or, for a placeholder (see default_relay.h), that --server is required.
std::string serverLine(std::string_view builtIn);

}  // namespace vek::cli
