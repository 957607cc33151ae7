// The relay a build of VEK offers by default, and how to tell that it has none.
//
// The build names a default relay (VEK_DEFAULT_SERVER). The value the sources ship with is a
// placeholder under ".example", a top-level domain reserved so that it never resolves: such a
// build has no default relay at all. `vek group create` then fails at once, before any network
// access, with a sentence that says what to do, rather than with a name-lookup failure for a host
// that cannot exist; the desktop app's enrolment form leaves the relay address for the user to
// fill in. A build configured with a real relay uses it as the default.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vek {

inline constexpr std::string_view noDefaultRelayMessage =
    "No default relay is configured in this build of VEK. Pass --server with your relay's address.";

/// The host of `origin` ("[scheme://][user@]host[:port][/...]") as written: without user and
/// port, an IPv6 address with its brackets; "" when there is none.
std::string_view relayHost(std::string_view origin);

/// True when the host of `origin` is "example" or ends in ".example", compared without regard to
/// case and to a trailing dot.
bool isPlaceholderRelay(std::string_view origin);

/// `given` when present (judged later, like any origin); otherwise `builtIn`, unless that is a
/// placeholder, which throws VEKError(noDefaultRelayMessage).
std::string relayForGroupCreation(const std::optional<std::string>& given,
                                  std::string_view builtIn);

}  // namespace vek
