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
//
// Both ways can also continue a transfer that broke off. A download keeps its partial file and
// asks for the rest with a Range request bound to the build's digest by If-Range; an upload asks
// the relay how much of the build it holds (HEAD) and sends the rest (PATCH), following tus 1.0.
// Deciding when to try again is the caller's.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
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

/// How far a transfer has come: `done` bytes of the whole build of `total` bytes have reached the
/// other side (a resumed transfer starts where it resumes). Called often, from whichever thread
/// drives the connection pool: it must be quick, must not throw and must not use the API.
using TransferProgress = std::function<void(std::uint64_t done, std::uint64_t total)>;

/// What the relay holds of a job's resumable upload: `offset` bytes of the build whose size and
/// digest it names (both absent while it holds nothing).
struct HeldUpload {
  std::uint64_t offset = 0;
  std::optional<std::uint64_t> length;
  std::optional<std::string> sha256;
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
              std::string_view sha256, const TransferProgress& progress = {}) const;

  /// HEAD /v1/jobs/<job>/artifact (tus): what the relay holds of the job's resumable upload.
  /// Absent when the relay does not say (one without resumable uploads, or one refusing the
  /// request: the whole upload then tells why). Throws TransportError, CancellationError.
  std::optional<HeldUpload> heldUpload(std::string_view job, std::string_view lease) const;
  /// PATCH /v1/jobs/<job>/artifact (tus): sends `file`, whose SHA-256 is `sha256`, from byte
  /// `offset` on (the offset the relay holds of it), declaring the build by its size and digest;
  /// the relay completes the upload when the last byte arrives. Throws as upload.
  void uploadFrom(std::string_view job, std::string_view lease, const std::filesystem::path& file,
                  std::string_view sha256, std::uint64_t offset,
                  const TransferProgress& progress = {}) const;

  /// GET /v1/jobs/<job>/artifact into a temporary file in the destination's directory; when its
  /// SHA-256 equals `expectedSHA` exactly (letter case included), renames it over `to`. On any
  /// failure the temporary file is removed and `to` is left as it was. Throws as call, VEKError
  /// "Downloaded build checksum mismatch", and SystemError for the files.
  void download(std::string_view job, std::string_view lease, const std::filesystem::path& to,
                std::string_view expectedSHA) const;

  /// Whether a completed download was the build the relay recorded.
  enum class Download { verified, checksumMismatch };
  /// The SHA-256 of the bytes a partial download holds so far, kept by the caller from one
  /// attempt to the next, so that a resumed download does not read them back from disk.
  class DownloadDigest {
   public:
    DownloadDigest();
    ~DownloadDigest();
    DownloadDigest(const DownloadDigest&) = delete;
    DownloadDigest& operator=(const DownloadDigest&) = delete;
    struct State;

   private:
    friend class API;
    std::unique_ptr<State> state_;
  };
  /// GET /v1/jobs/<job>/artifact into `partial`, continuing after the bytes it already holds (a
  /// relay that sends the whole build instead starts it over); `digest` is the digest of those
  /// bytes from the attempt before, if it was made with the same `digest`. Once the build is
  /// complete, its SHA-256 is compared with `expectedSHA`: equal, `partial` is renamed over `to`
  /// (verified); different, `partial` is deleted (checksumMismatch). When the transfer fails,
  /// `partial` keeps what arrived. Throws as download, and VEKError "Invalid server response"
  /// when the relay answers with another part of the build than the one asked for.
  Download resumeDownload(std::string_view job, std::string_view lease,
                          const std::filesystem::path& partial, const std::filesystem::path& to,
                          std::string_view expectedSHA, DownloadDigest& digest,
                          const TransferProgress& progress = {}) const;

  /// The absolute URL a request for `path` goes to. Throws VEKError "Invalid API path".
  std::string url(std::string_view path) const { return origin_.resolve(path); }

  /// Checks an answer: a status from 200 to 299 passes; any other fails with VEKError whose message
  /// is the body's "error" member when the body is a JSON object with a string "error", else
  /// "Relay returned HTTP " + status.
  static void check(long status, std::string_view body);

  /// Whether a relay error's text says that the credentials sent with the request are revoked
  /// (it names a "revoked device credential"): the Mac is no longer a member of its group.
  static bool namesRevokedCredential(std::string_view message);

 private:
  class Exchange;
  long perform(Exchange& exchange) const;

  RelayOrigin origin_;
  std::optional<Credentials> credentials_;
  std::shared_ptr<relay_client::ConnectionPool> pool_;
};

}  // namespace vek
