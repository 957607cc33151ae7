// Where the developer and system tools live.
//
// Every external program is named by the absolute path it has on a Mac ("/usr/bin/xcrun") and
// passes through `toolPath` before it is run. The environment variable VEK_TOOL_ROOT re-roots those
// paths, so tests and the demo can put a simulated Mac's stand-in tools in their place; on a real
// Mac it is unset and the paths are used as they are.
#pragma once

#include <string>
#include <string_view>

namespace vek {

/// `absolutePath` below $VEK_TOOL_ROOT when that variable is set and not empty
/// ("/opt/sim" + "/usr/bin/xcrun"), else `absolutePath` unchanged. Read on every call.
std::string toolPath(std::string_view absolutePath);

}  // namespace vek
