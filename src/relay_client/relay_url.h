// Where relay requests may go: the origin check and the resolution of request paths.
//
// A relay origin is a scheme and an authority and nothing else: "https://relay.example.com",
// optionally with a port and a lone "/". Plain http is accepted only for the loopback hosts
// "localhost", "127.0.0.1" and "[::1]", which is how a relay is tried out on one machine. User
// parts, paths, queries and fragments are refused, so the origin names one place and cannot smuggle
// anything into the requests built from it.
//
// A request path is resolved against the origin the way a relative reference is resolved
// (RFC 3986): dot segments are removed, a query is kept, a fragment is dropped (it never goes on
// the wire). A path that begins with "//" is a reference to another authority; it is accepted only
// when that authority is the origin's own host and port, so no path can move a request, and the
// device's credentials with it, to another server. Characters a URL cannot hold (spaces, control
// characters, non-ASCII) and malformed percent escapes make the path unresolvable.
//
// Parsing is strict and allocation-light so that it can run on untrusted text (invites) and be
// fuzzed without any network.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vek {

/// A relay origin that passed the check.
struct RelayOrigin {
  /// The origin exactly as given.
  std::string text;
  /// "https" or "http".
  std::string scheme;
  /// The host as typed, without the brackets of an IPv6 literal ("::1").
  std::string host;
  /// The port digits as typed; empty when the origin has none.
  std::string port;

  /// The checked origin, or absent when `text` is not one: not a URL, no host, a user or password,
  /// a query or fragment, a path other than "" or "/", a scheme other than https (http is allowed
  /// only for the hosts "localhost", "127.0.0.1" and "::1", compared exactly).
  static std::optional<RelayOrigin> parse(std::string_view text);

  /// host[:port] as it goes into a URL (an IPv6 host in brackets), e.g. "relay.example.com" or
  /// "127.0.0.1:8787". Used to name the relay in transport failures.
  std::string authority() const;

  /// The absolute URL of `path` on this origin. Throws VEKError "Invalid API path" when the path
  /// does not begin with "/", cannot be resolved, or resolves to another host or port.
  std::string resolve(std::string_view path) const;
};

/// `id` made safe to stand as one segment of a request path: every byte outside the URL's
/// unreserved characters is percent-encoded, and so are the dots of a "." or ".." segment. An id
/// typed by a person or sent by the relay ("../group", "a?b") thus names one resource and can never
/// climb to another path or add a query. Ordinary ids (UUIDs) come out unchanged.
std::string pathSegment(std::string_view id);

}  // namespace vek
