// What the enrolment form proposes for the relay before the user types anything.
//
// The build names a default relay; a build whose default is only the placeholder the sources ship
// with has none, and the form then leaves the relay address empty for the user to fill in. (The
// device name it proposes is the computer's name, vek::computerName.)
#pragma once

#include <string>
#include <string_view>

namespace vek::desktop {

/// `builtIn` when it names a real relay; "" when it is a placeholder (vek::isPlaceholderRelay), or
/// when it has no scheme or no host at all.
std::string proposedRelay(std::string_view builtIn);

}  // namespace vek::desktop
