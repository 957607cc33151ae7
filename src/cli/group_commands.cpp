// The group commands: create or join a group, invite another Mac, look at the group, revoke a Mac.
// Each is a thin layer over one enrolment operation or one relay request; `vek` prints what they
// return and reports what they throw.
#include <string>

#include "cli/commands.h"
#include "cli/group_lists.h"
#include "foundation/constants.h"
#include "foundation/default_relay.h"
#include "foundation/errors.h"
#include "foundation/file.h"
#include "foundation/text.h"
#include "relay_client/enrollment.h"

namespace vek::cli {

namespace {

// How long an invite stays valid. The relay enforces it; the tool only tells the user.
constexpr int inviteLifetimeSeconds = 900;

JSON membership(const Credentials& credentials) {
  return JSON::object({{"group_id", credentials.groupID},
                       {"device_id", credentials.deviceID},
                       {"group_name", credentials.groupName}});
}

// A file the user points at (a bootstrap token, an invite), which must be UTF-8 text.
std::string readTextFile(const std::string& path) {
  std::string content = readFile(path);
  if (!text::isValidUTF8(content))
    throw DecodingError("Cannot read " + path + ": the file is not UTF-8 text");
  return content;
}

}  // namespace

Result groupCreate(const CommandContext& context) {
  const Arguments& arguments = context.arguments;
  std::string bootstrap = text::trim(readTextFile(arguments.require("--bootstrap-file")));
  Credentials credentials = Enrollment::create(
      relayForGroupCreation(arguments.value("--server"), VEK::server),
      arguments.value("--name").value_or("My Macs"), context.deviceName, bootstrap);
  return membership(credentials);
}

Result groupJoin(const CommandContext& context) {
  const Arguments& arguments = context.arguments;
  auto file = arguments.value("--invite-file");
  std::string invite = file ? readTextFile(*file) : arguments.require("--invite");
  return membership(Enrollment::join(invite, context.deviceName));
}

Result groupInvite(const CommandContext&, const Membership& membership) {
  return JSON::object({{"invite", Enrollment::invite(membership.credentials)},
                       {"expires_in_seconds", inviteLifetimeSeconds}});
}

Result groupStatus(const CommandContext&, const Membership& membership) {
  return fetchGroup(membership.api);
}

Result groupRevoke(const CommandContext& context, const Membership& membership) {
  const auto& positional = context.arguments.positional();
  if (positional.size() != 3) throw VEKError("Provide a Mac ID");
  // The relay judges the id; encoded as one path segment, it cannot name another resource.
  return membership.api.call("DELETE", "/v1/devices/" + pathSegment(positional[2]));
}

}  // namespace vek::cli
