// How a Mac becomes a member of a group: it creates the group on the relay, or joins one with an
// invite from a member.
//
// The group's encryption key is made by the Mac that creates the group and travels only inside
// invites, which people hand to each other out of band: the relay never sees it. An invite is one
// line of ASCII, "vek1." followed by the standard Base64 of a compact JSON object
// {"server": relay origin, "code": the relay's single-use invite code, "key": the group key}.
// A file may instead hold a JSON object with the invite text in its member "invite" (the saved
// output of `vek group invite`).
//
// Join checks an invite in a fixed order, each step with its own message, before anything is sent:
// prefix and Base64 ("Invalid VEK invite"), JSON (the decoder's error), key ("Invalid group
// encryption key"), then the relay origin (the origin message). Nothing is saved unless the relay
// accepted the request.
//
// A Mac enrolls once: create and join refuse while it holds credentials ("This Mac is already
// enrolled."), unless the relay that issued them refuses them as revoked. A revoked Mac can never
// use them again, so it may create or join anew, and its new credentials replace the revoked
// ones. The relay is asked before anything else; when it cannot be reached the credentials stay.
#pragma once

#include <string>
#include <string_view>

#include "foundation/credentials.h"
#include "foundation/json.h"
#include "foundation/secret_store.h"

namespace vek {

/// What an invite carries.
struct Invite {
  /// The relay origin as the issuing Mac stored it; empty when the payload has no string "server".
  std::string server;
  /// The relay's invite code, any JSON value, passed on unchanged; null when missing.
  JSON code;
  /// The group key as Base64 text, exactly as in the payload.
  std::string key;

  /// "vek1." + standard Base64 (padded, one line) of the compact payload object.
  std::string text() const;

  /// Reads an invite text or its JSON wrapper. White space and line breaks around the text are
  /// ignored. Throws VEKError "Invalid VEK invite" (no "vek1." prefix, or a payload that is not
  /// strict standard Base64), DecodingError (payload not JSON), VEKError "Invalid group encryption
  /// key" (key missing, not Base64, or not 32 bytes; also for a payload that is not an object).
  /// The server is not checked here.
  static Invite decode(std::string_view given);
};

namespace Enrollment {

/// Creates the group `group` on the relay at `server` with this Mac, named `device`, as its first
/// member, using the relay's bootstrap token; makes the group key; saves and returns the
/// credentials, replacing revoked ones. Throws VEKError "This Mac is already enrolled." when
/// credentials exist that are not revoked, before the relay is asked or, when another enrolment
/// saved its credentials meanwhile, after (the relay then holds a device this Mac never uses; the
/// stored credentials stay as they are), the origin message, the relay's refusal, and the errors
/// of API::call and CredentialStore.
Credentials create(std::string_view server, std::string_view group, std::string_view device,
                   std::string_view bootstrap, SecretStore& store);
Credentials create(std::string_view server, std::string_view group, std::string_view device,
                   std::string_view bootstrap);

/// Whether the relay of `credentials` refuses them as revoked (asks it for the group). Any other
/// outcome, an unreachable relay included, is false. Throws CancellationError.
bool revoked(const Credentials& credentials);

/// Asks the relay for a single-use invite code and returns the invite text carrying it, the
/// credentials' server and the group key. Stores nothing.
std::string invite(const Credentials& credentials);

/// Joins the group of `invite` (the text or its JSON wrapper) as `device`; saves and returns the
/// credentials, replacing revoked ones. Throws "This Mac is already enrolled." (for credentials
/// that are not revoked, before the relay is asked or, as for create, when another enrolment
/// saved first), the errors of Invite::decode, the origin
/// message for the invite's server, the relay's refusal, and the errors of API::call and
/// CredentialStore.
Credentials join(std::string_view invite, std::string_view device, SecretStore& store);
Credentials join(std::string_view invite, std::string_view device);

}  // namespace Enrollment

}  // namespace vek
