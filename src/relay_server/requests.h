// The JSON bodies the relay accepts, each decoded and checked into a plain struct before any
// state is touched.
//
// Every parser takes the raw body bytes and either returns a fully validated value or throws an
// HttpError whose text names the member at fault: 400 for a malformed body, 413 for a value the
// relay would keep that is larger than it keeps. Nothing here knows about
// sockets, storage or credentials, so the fuzzers exercise exactly the code that reads untrusted
// bodies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/json.h"

namespace vek::relay_server {

/// The largest JSON body any endpoint reads (the device inventory is the big one).
inline constexpr std::size_t kMaxJsonBody = 1 << 20;
/// Longest group or device name, in bytes.
inline constexpr std::size_t kMaxNameBytes = 256;
/// Longest member of a queued job (project id, scheme, configuration, UDID...), in bytes.
inline constexpr std::size_t kMaxJobFieldBytes = 1024;
/// Longest progress message kept, in bytes; longer ones are cut at a character boundary.
inline constexpr std::size_t kMaxEventBytes = 4096;
/// Longest failure text kept, in user-perceived characters; longer ones are cut.
inline constexpr std::size_t kMaxErrorCharacters = 2000;
/// Most leases one heartbeat may name.
inline constexpr std::size_t kMaxLeasesPerHeartbeat = 64;
/// Deepest nesting of a JSON value the relay keeps and hands back to clients (an inventory, a
/// manifest), counting the value itself as the first level. Clients read answers that wrap such
/// a value in a few more levels, so it must stay far below their own limit.
inline constexpr std::size_t kMaxStoredJsonDepth = 16;
/// Largest compact rendering of one Mac's inventory, and of one build manifest, that is kept.
inline constexpr std::size_t kMaxInventoryBytes = 64 * 1024;
inline constexpr std::size_t kMaxManifestBytes = 64 * 1024;

/// POST /v1/groups.
struct CreateGroupRequest {
  std::string name;
  std::string deviceName;
};

/// POST /v1/join. `code` is absent when the body's "code" is not a string (an invite that carried
/// no code, or a forged one): such a join is refused like an unknown code, not as a bad request.
struct JoinRequest {
  std::optional<std::string> code;
  std::string deviceName;
};

/// One element of a heartbeat's "leases": the job id (lower-cased) and the lease token.
struct LeaseClaim {
  std::string jobId;
  std::string token;
};

/// POST /v1/heartbeat. `inventory` is the object as sent; `inventoryText` its compact rendering,
/// which is what gets stored and shown back to the group.
struct HeartbeatRequest {
  JSON inventory;
  std::string inventoryText;
  std::vector<LeaseClaim> leases;
};

/// POST /v1/jobs. Ids are lower-cased; everything else is kept exactly as sent.
struct QueueJobRequest {
  std::string builderId;
  std::string receiverId;
  std::string projectId;
  std::string scheme;
  std::string configuration;
  std::string mode;
  std::string udid;
};

/// POST /v1/jobs/{id}/event. `message` is already cut to kMaxEventBytes.
struct EventRequest {
  std::string message;
};

/// POST /v1/jobs/{id}/fail. `error` is already cut to kMaxErrorCharacters.
struct FailRequest {
  std::string error;
};

/// POST /v1/jobs/{id}/finish-build. `manifestText` is the compact rendering of the object.
struct FinishBuildRequest {
  std::string manifestText;
};

/// Decodes a body that must be one JSON object. Throws HttpError 400 otherwise.
JSON parseObjectBody(std::string_view body);

/// For endpoints whose body carries nothing (invites, claim, cancel, finish): an empty body or any
/// JSON object passes; anything else is a 400.
void parseEmptyBody(std::string_view body);

CreateGroupRequest parseCreateGroup(std::string_view body);
JoinRequest parseJoin(std::string_view body);
HeartbeatRequest parseHeartbeat(std::string_view body);
QueueJobRequest parseQueueJob(std::string_view body);
EventRequest parseEvent(std::string_view body);
FailRequest parseFail(std::string_view body);
FinishBuildRequest parseFinishBuild(std::string_view body);

/// True when `value` nests containers more than `limit` levels deep (a scalar is level 0, an
/// empty array or object level 1).
bool nestsDeeperThan(const JSON& value, std::size_t limit);

/// `text` lower-cased (ASCII letters only): how ids from paths and bodies are compared, since
/// clients may echo a UUID in capitals.
std::string lowerASCII(std::string_view text);

/// True when `text` is 64 lower-case hexadecimal digits (a SHA-256 digest as clients send it).
bool isLowerHexDigest(std::string_view text) noexcept;

/// The longest prefix of `text` of at most `limit` bytes that does not split a UTF-8 sequence.
std::string cutUTF8(std::string_view text, std::size_t limit);

}  // namespace vek::relay_server
