#include "relay_server/endpoints.h"

#include <algorithm>
#include <array>

#include "relay_server/relay.h"
#include "relay_server/requests.h"

namespace vek::relay_server {

namespace {

// The work of calling `operation` on the relay with copies of `arguments`.
template <typename Operation, typename... Arguments>
RelayWork call(Operation operation, Arguments... arguments) {
  return [operation, ... arguments = std::move(arguments)](Relay& relay) {
    return (relay.*operation)(arguments...);
  };
}

// The wait a claim or an event read is held for: what it asks, within what this relay allows;
// absent when that comes to nothing.
std::optional<std::chrono::milliseconds> heldWait(const Call& c) {
  std::optional<std::chrono::milliseconds> wait = waitParameter(c.query);
  if (!wait) return std::nullopt;
  wait = std::min(*wait, c.longestWait);
  if (wait->count() <= 0) return std::nullopt;
  return wait;
}

// A claim holds, given a wait, until a job is claimable for the caller; the answer is the
// claim's own.
Reply claimReply(const Call& c) {
  parseEmptyBody(c.body);
  RelayWork claim = call(&Relay::claim, c.caller);
  std::optional<std::chrono::milliseconds> wait = heldWait(c);
  if (!wait) return claim;
  return HeldWork{Topic::claimable(c.caller.deviceId), *wait, [claim](Relay& relay) {
                    JSON answer = claim(relay);
                    bool ready = !answer["job"].isNull();
                    return Attempt{std::move(answer), ready};
                  }};
}

// An event read holds, given a wait, until the job has events after the cursor or a state other
// than the one it had when the read began; an ended job has nothing more to wait for. A held
// answer names the wait it was given ("wait", in seconds), which tells a client that this relay
// holds reads, so it need not pause between them.
Reply eventsReply(const Call& c) {
  std::optional<std::int64_t> after = afterCursor(c.query);
  std::optional<std::chrono::milliseconds> wait = heldWait(c);
  if (!wait) return call(&Relay::events, c.caller, c.id, after);
  double seconds = static_cast<double>(wait->count()) / 1000;
  return HeldWork{Topic::jobChanged(c.id), *wait,
                  [caller = c.caller, id = c.id, after, seconds,
                   first = std::optional<JobState>()](Relay& relay) mutable {
                    Relay::EventPage page = relay.eventPage(caller, id, after);
                    if (!first) first = page.state;
                    bool ready = !page.answer["events"].items().empty() || page.state != *first ||
                                 isTerminal(page.state);
                    page.answer.set("wait", seconds);
                    return Attempt{std::move(page.answer), ready};
                  }};
}

constexpr Access open = Access::open;
constexpr Access member = Access::member;

const std::array kRoutes = {
    Route{"GET", "/healthz", open, [](const Call&) -> Reply { return call(&Relay::health); }},
    Route{"POST", "/v1/groups", open,
          [](const Call& c) -> Reply {
            return call(&Relay::createGroup, c.bootstrap, parseCreateGroup(c.body));
          }},
    Route{"POST", "/v1/join", open,
          [](const Call& c) -> Reply { return call(&Relay::join, parseJoin(c.body)); }},
    Route{"POST", "/v1/invites", member,
          [](const Call& c) -> Reply {
            parseEmptyBody(c.body);
            return call(&Relay::createInvite, c.caller);
          }},
    Route{"GET", "/v1/group", member,
          [](const Call& c) -> Reply { return call(&Relay::group, c.caller); }},
    Route{"DELETE", "/v1/devices/{id}", member,
          [](const Call& c) -> Reply { return call(&Relay::revokeDevice, c.caller, c.id); }},
    Route{"POST", "/v1/heartbeat", member,
          [](const Call& c) -> Reply {
            return call(&Relay::heartbeat, c.caller, parseHeartbeat(c.body));
          }},
    Route{"POST", "/v1/claim", member, claimReply},
    Route{"GET", "/v1/jobs", member,
          [](const Call& c) -> Reply { return call(&Relay::listJobs, c.caller); }},
    Route{"POST", "/v1/jobs", member,
          [](const Call& c) -> Reply {
            return call(&Relay::queueJob, c.caller, parseQueueJob(c.body));
          }},
    Route{"GET", "/v1/jobs/{id}", member,
          [](const Call& c) -> Reply { return call(&Relay::job, c.caller, c.id); }},
    Route{"GET", "/v1/jobs/{id}/events", member, eventsReply},
    Route{"POST", "/v1/jobs/{id}/cancel", member,
          [](const Call& c) -> Reply {
            parseEmptyBody(c.body);
            return call(&Relay::cancel, c.caller, c.id);
          }},
    Route{"POST", "/v1/jobs/{id}/event", member,
          [](const Call& c) -> Reply {
            return call(&Relay::postEvent, c.caller, c.id, c.lease, parseEvent(c.body));
          }},
    Route{"POST", "/v1/jobs/{id}/fail", member,
          [](const Call& c) -> Reply {
            return call(&Relay::fail, c.caller, c.id, c.lease, parseFail(c.body));
          }},
    // The artifact travels outside JSON: the connection streams it and asks the relay itself
    // (Relay::authorizeUpload and commitUpload, Relay::authorizeDownload). HEAD, PATCH and
    // OPTIONS are the resumable upload (tus); OPTIONS tells only the protocol's settings.
    Route{"PUT", "/v1/jobs/{id}/artifact", member, nullptr, Transfer::upload},
    Route{"GET", "/v1/jobs/{id}/artifact", member, nullptr, Transfer::download},
    Route{"HEAD", "/v1/jobs/{id}/artifact", member, nullptr, Transfer::uploadOffset},
    Route{"PATCH", "/v1/jobs/{id}/artifact", member, nullptr, Transfer::uploadPart},
    Route{"OPTIONS", "/v1/jobs/{id}/artifact", open, nullptr, Transfer::uploadOptions},
    Route{"POST", "/v1/jobs/{id}/finish-build", member,
          [](const Call& c) -> Reply {
            return call(&Relay::finishBuild, c.caller, c.id, c.lease, parseFinishBuild(c.body));
          }},
    Route{"POST", "/v1/jobs/{id}/finish", member,
          [](const Call& c) -> Reply {
            parseEmptyBody(c.body);
            return call(&Relay::finish, c.caller, c.id, c.lease);
          }},
};

}  // namespace

std::span<const Route> relayRoutes() {
  return kRoutes;
}

}  // namespace vek::relay_server
