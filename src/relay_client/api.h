// API: the one client through which a Mac talks to its relay.
//
// An API value is a checked relay origin, optionally this Mac's credentials, and a connection pool
// that every copy of the value shares (at most 6 connections to the relay, HTTP/1.1, kept alive
// between requests). It is immutable and may be used from several threads at once.
//
// Every request carries "User-Agent: VEK/<version>"; "Authorization" only when the value holds
// credentials; "X-VEK-Lease" only when the caller passes a job lease; "X-VEK-Bootstrap" only when
// the caller passes a bootstrap token (group creation). Redirects are never followed: a 3xx answer
// fails like any other answer outside 200-299, with the relay's "error" text when its body is a
// JSON object holding one, else "Relay returned HTTP <status>".
//
// Time limits: a request fails when no byte moves for 60 seconds (connecting included) and any
// transfer, however busy, ends after 7200 seconds. A transfer stops early, with CancellationError,
// when the task that runs it is asked to stop.
//
// Artifacts are streamed both ways: the upload reads the file in pieces and the download writes a
// temporary file beside the destination, checks its SHA-256 against the digest the relay recorded
// and only then renames it over the destination, so the destination never holds a partial or
// unverified build.
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "foundation/credentials.h"
#include "foundation/json.h"
#include "relay_client/relay_url.h"

namespace vek {

namespace relay_client {
class ConnectionPool;
}

/// The relay could not be reached, or the exchange with it broke off or timed out. `what()` is one
/// sentence naming the relay, e.g. "Cannot reach the relay at relay.example.com: Connection
/// refused".
class TransportError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class API {
 public:
  /// Seconds a request may go without moving a byte (connecting included).
  static constexpr long idleTimeoutSeconds = 60;
  /// Seconds any one transfer may take in all.
  static constexpr long transferTimeoutSeconds = 7200;
  /// The longest a relay holds a claim or an event read for its "wait" parameter.
  static constexpr std::chrono::seconds longestWait{25};

  /// The query parameter that asks the relay to hold a claim or an event read for up to `wait`
  /// (cut to longestWait): "wait=" and the seconds to the millisecond ("wait=4.873", "wait=3").
  /// A relay without held requests ignores it and answers at once.
  static std::string waitQuery(std::chrono::milliseconds wait);

  /// A client for the relay at `server`. Throws VEKError "Server must be an HTTPS origin. HTTP is
  /// allowed only for localhost testing." when `server` is not an acceptable origin (see
  /// RelayOrigin::parse).
  API(std::string_view server, std::optional<Credentials> credentials);
  /// A client for the credentials' own server, authorised by them.
  explicit API(const Credentials& credentials);

  /// The origin exactly as given.
  const std::string& server() const noexcept { return origin_.text; }
  const std::optional<Credentials>& credentials() const noexcept { return credentials_; }

  /// Sends one JSON request and returns the decoded answer. `body`, when given, goes compactly
  /// encoded with "Content-Type: application/json". Throws VEKError "Invalid API path", the
  /// relay's refusal (see check), DecodingError when a success answer is not one JSON document
  /// (an empty body included), TransportError, CancellationError.
  JSON call(std::string_view method, std::string_view path,
            const std::optional<JSON>& body = std::nullopt,
            const std::optional<std::string>& lease = std::nullopt,
            const std::optional<std::string>& bootstrap = std::nullopt) const;

  /// PUT /v1/jobs/<job>/artifact with the file's bytes streamed from disk, its size as
  /// "Content-Length" and its SHA-256 (lower-case hex) as "X-VEK-SHA256". The answer is checked,
  /// not decoded. Throws as call, and SystemError for the file.
  void upload(std::string_view job, std::string_view lease,
              const std::filesystem::path& file) const;
  /// The same upload for a file whose SHA-256 the caller already has (the encryption computes it
  /// as it writes the artifact): `sha256` goes out as "X-VEK-SHA256" as given, and the file is
  /// read once, while it is sent. The relay refuses the upload when the digest is not the file's.
  void upload(std::string_view job, std::string_view lease, const std::filesystem::path& file,
              std::string_view sha256) const;

  /// GET /v1/jobs/<job>/artifact into a temporary file in the destination's directory; when its
  /// SHA-256 equals `expectedSHA` exactly (letter case included), renames it over `to`. On any
  /// failure the temporary file is removed and `to` is left as it was. Throws as call, VEKError
  /// "Downloaded build checksum mismatch", and SystemError for the files.
  void download(std::string_view job, std::string_view lease, const std::filesystem::path& to,
                std::string_view expectedSHA) const;

  /// The absolute URL a request for `path` goes to. Throws VEKError "Invalid API path".
  std::string url(std::string_view path) const { return origin_.resolve(path); }

  /// Checks an answer: a status from 200 to 299 passes; any other fails with VEKError whose message
  /// is the body's "error" member when the body is a JSON object with a string "error", else
  /// "Relay returned HTTP " + status.
  static void check(long status, std::string_view body);

 private:
  class Exchange;
  long perform(Exchange& exchange) const;

  RelayOrigin origin_;
  std::optional<Credentials> credentials_;
  std::shared_ptr<relay_client::ConnectionPool> pool_;
};

}  // namespace vek
