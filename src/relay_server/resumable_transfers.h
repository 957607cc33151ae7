// The header rules of transfers that survive a broken connection: downloads that continue with a
// Range request, and uploads that continue from the relay's offset, following the core of tus
// 1.0 on the job's artifact.
//
// A download may ask for one open range, "bytes=N-"; the relay's entity tag for the artifact is
// its SHA-256, so an If-Range naming another tag (a different build) gets the whole file instead.
// Any other Range form is ignored, as HTTP allows, and answered with the whole file.
//
// A resumable upload is addressed to the job's artifact itself: HEAD tells how many bytes of the
// build the relay holds, PATCH appends from exactly that offset. The first PATCH of a build
// declares it with Upload-Length and X-VEK-SHA256 (tus leaves the declaration to an extension;
// here it travels with the bytes, so the artifact needs no separate creation step). The relay
// holds at most one build per job: a PATCH at offset 0 that declares another build replaces it.
// `planPatch` makes every decision a PATCH needs before a byte of it is read, so this file, free
// of sockets and storage, holds the whole protocol and the fuzzers reach it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "relay_server/http_error.h"

namespace vek::relay_server {

/// The only tus version the relay speaks, and the body type of its PATCH requests.
inline constexpr std::string_view kTusVersion = "1.0.0";
inline constexpr std::string_view kOffsetStreamType = "application/offset+octet-stream";

/// The first byte a download's Range header asks for, when it is exactly one open range
/// "bytes=N-"; absent for every other form (the whole file is then sent).
std::optional<std::uint64_t> rangeStart(std::string_view range);

/// The artifact's entity tag: its SHA-256 in double quotes.
std::string entityTag(std::string_view sha);

/// Whether a range may be served: true without If-Range, or when If-Range names `sha`'s tag (the
/// bare digest is taken too).
bool ifRangeMatches(const std::optional<std::string>& ifRange, std::string_view sha) noexcept;

/// Refuses (412, naming the version spoken) a resumable-upload request whose Tus-Resumable header
/// is missing or names another version.
void requireTusVersion(const std::optional<std::string>& tusResumable);

/// What the relay holds of a job's build: `offset` bytes of a build of `length` bytes with the
/// digest `sha`. `published` when that is the job's complete, verified artifact rather than a
/// partial upload; its `offset` is then its `length`.
struct HeldBuild {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  std::string sha;
  bool published = false;
};

/// A PATCH request's headers, still as sent.
struct PatchHeaders {
  std::optional<std::string> uploadOffset;  // Upload-Offset
  std::optional<std::string> uploadLength;  // Upload-Length
  std::optional<std::string> sha;           // X-VEK-SHA256
  std::optional<std::string> contentType;
  std::uint64_t bytes = 0;  // Content-Length
};

/// What to do with a PATCH.
struct PatchPlan {
  enum class Action {
    append,   // append the body to the held partial upload
    restart,  // discard what is held (unless it is published) and start the declared build
    nothing,  // the held build is published and complete; the empty body changes nothing
  };
  Action action = Action::append;
  std::uint64_t offset = 0;  // where the body goes
  std::uint64_t length = 0;  // the declared build's size
  std::string sha;           // and digest
};

/// A refusal after which the held partial upload is discarded (bytes beyond the declared size).
class DiscardingRefusal : public HttpError {
 public:
  using HttpError::HttpError;
};

/// Decides a PATCH against what the relay holds (`held`: nothing, a partial upload or the
/// published artifact), for builds of at most `maxBytes`. Throws HttpError: 415 for another
/// body type, 400 for malformed or missing headers, 413 for a declared build above `maxBytes`,
/// 409 with the header Upload-Offset when the PATCH does not start at the offset the relay holds
/// of the declared build, and DiscardingRefusal (400) when the body would run past the declared
/// size of the held partial upload.
PatchPlan planPatch(const std::optional<HeldBuild>& held, const PatchHeaders& request,
                    std::uint64_t maxBytes);

}  // namespace vek::relay_server
