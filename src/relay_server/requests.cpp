#include "relay_server/requests.h"

#include <string>

#include "foundation/errors.h"
#include "foundation/text.h"
#include "relay_server/http_error.h"

namespace vek::relay_server {

namespace {

[[noreturn]] void badRequest(std::string message) {
  throw HttpError(400, std::move(message));
}

std::string quoted(std::string_view key) {
  return "\"" + std::string(key) + "\"";
}

// The member `key` as a string of 1 to `limit` bytes.
std::string requireText(const JSON& object, std::string_view key, std::size_t limit) {
  const JSON& member = object[key];
  if (!object.fields().contains(key)) {
    badRequest("The request is missing the member " + quoted(key) + ".");
  }
  if (!member.isString()) badRequest("The member " + quoted(key) + " must be a string.");
  const std::string& value = member.text();
  if (value.empty()) badRequest("The member " + quoted(key) + " must not be empty.");
  if (value.size() > limit) {
    badRequest("The member " + quoted(key) + " is longer than " + std::to_string(limit) +
               " bytes.");
  }
  return value;
}

// The member `key` as a string of any length (possibly empty).
const std::string& requireString(const JSON& object, std::string_view key) {
  if (!object.fields().contains(key)) {
    badRequest("The request is missing the member " + quoted(key) + ".");
  }
  const JSON& member = object[key];
  if (!member.isString()) badRequest("The member " + quoted(key) + " must be a string.");
  return member.text();
}

const JSON& requireObject(const JSON& object, std::string_view key) {
  if (!object.fields().contains(key)) {
    badRequest("The request is missing the member " + quoted(key) + ".");
  }
  const JSON& member = object[key];
  if (!member.isObject()) badRequest("The member " + quoted(key) + " must be a JSON object.");
  return member;
}

// The compact rendering of `value`, the member `key` of a body, which the relay keeps and serves
// back: refused when it nests deeper than any stored value may, or is larger than `limit`.
std::string storableText(const JSON& value, std::string_view key, std::size_t limit) {
  if (nestsDeeperThan(value, kMaxStoredJsonDepth)) {
    badRequest("The member " + quoted(key) + " nests arrays and objects more than " +
               std::to_string(kMaxStoredJsonDepth) + " levels deep, more than the relay keeps.");
  }
  std::string text = value.data();
  if (text.size() > limit) {
    throw HttpError(413, "The member " + quoted(key) + " is " + std::to_string(text.size()) +
                             " bytes as compact JSON, more than the " +
                             std::to_string(limit / 1024) + " KiB the relay keeps.");
  }
  return text;
}

}  // namespace

bool nestsDeeperThan(const JSON& value, std::size_t limit) {
  if (!value.isObject() && !value.isArray()) return false;
  if (limit == 0) return true;
  if (value.isArray()) {
    for (const JSON& item : value.items())
      if (nestsDeeperThan(item, limit - 1)) return true;
  } else {
    for (const auto& [key, member] : value.fields())
      if (nestsDeeperThan(member, limit - 1)) return true;
  }
  return false;
}

std::string lowerASCII(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

std::string cutUTF8(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return std::string(text);
  std::size_t cut = limit;
  // Step back over continuation bytes so the cut lands on the start of a sequence.
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
    --cut;
  return std::string(text.substr(0, cut));
}

JSON parseObjectBody(std::string_view body) {
  if (body.empty()) badRequest("The request needs a JSON object as its body.");
  JSON value;
  try {
    value = JSON::decode(body);
  } catch (const DecodingError& error) {
    std::string reason = error.what();
    constexpr std::string_view prefix = "The data is not valid JSON: ";
    if (reason.starts_with(prefix)) reason.erase(0, prefix.size());
    badRequest("The request body is not valid JSON (" + reason + ").");
  }
  if (!value.isObject()) badRequest("The request body must be a JSON object.");
  return value;
}

void parseEmptyBody(std::string_view body) {
  if (body.find_first_not_of(" \t\r\n") == std::string_view::npos) return;
  (void)parseObjectBody(body);
}

CreateGroupRequest parseCreateGroup(std::string_view body) {
  JSON object = parseObjectBody(body);
  CreateGroupRequest request;
  request.name = requireText(object, "name", kMaxNameBytes);
  request.deviceName = requireText(object, "device_name", kMaxNameBytes);
  return request;
}

JoinRequest parseJoin(std::string_view body) {
  JSON object = parseObjectBody(body);
  JoinRequest request;
  request.deviceName = requireText(object, "device_name", kMaxNameBytes);
  if (!object.fields().contains("code")) {
    badRequest("The request is missing the member \"code\".");
  }
  request.code = object["code"].string();
  return request;
}

HeartbeatRequest parseHeartbeat(std::string_view body) {
  JSON object = parseObjectBody(body);
  HeartbeatRequest request;
  request.inventory = requireObject(object, "inventory");
  request.inventoryText = storableText(request.inventory, "inventory", kMaxInventoryBytes);
  if (!object.fields().contains("leases")) {
    badRequest("The request is missing the member \"leases\".");
  }
  const JSON& leases = object["leases"];
  if (!leases.isArray()) badRequest("The member \"leases\" must be an array.");
  if (leases.items().size() > kMaxLeasesPerHeartbeat) {
    badRequest("The member \"leases\" lists more than " + std::to_string(kMaxLeasesPerHeartbeat) +
               " leases.");
  }
  for (const JSON& lease : leases.items()) {
    if (!lease.isObject() || !lease["id"].isString() || !lease["token"].isString()) {
      badRequest(
          "Each element of \"leases\" must be an object with the strings \"id\" and \"token\".");
    }
    request.leases.push_back({lowerASCII(lease["id"].text()), lease["token"].text()});
  }
  return request;
}

QueueJobRequest parseQueueJob(std::string_view body) {
  JSON object = parseObjectBody(body);
  QueueJobRequest request;
  request.builderId = lowerASCII(requireText(object, "builder_id", kMaxJobFieldBytes));
  request.receiverId = lowerASCII(requireText(object, "receiver_id", kMaxJobFieldBytes));
  request.projectId = requireText(object, "project_id", kMaxJobFieldBytes);
  request.scheme = requireText(object, "scheme", kMaxJobFieldBytes);
  request.configuration = requireText(object, "configuration", kMaxJobFieldBytes);
  request.mode = requireText(object, "mode", kMaxJobFieldBytes);
  request.udid = requireText(object, "udid", kMaxJobFieldBytes);
  if (request.mode != "adhoc" && request.mode != "debug") {
    badRequest("The member \"mode\" must be \"adhoc\" or \"debug\".");
  }
  return request;
}

EventRequest parseEvent(std::string_view body) {
  JSON object = parseObjectBody(body);
  return {cutUTF8(requireString(object, "message"), kMaxEventBytes)};
}

FailRequest parseFail(std::string_view body) {
  JSON object = parseObjectBody(body);
  return {text::prefixCharacters(requireString(object, "error"), kMaxErrorCharacters)};
}

FinishBuildRequest parseFinishBuild(std::string_view body) {
  JSON object = parseObjectBody(body);
  return {storableText(requireObject(object, "manifest"), "manifest", kMaxManifestBytes)};
}

bool isLowerHexDigest(std::string_view text) noexcept {
  if (text.size() != 64) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

}  // namespace vek::relay_server
