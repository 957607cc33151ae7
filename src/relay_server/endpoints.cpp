#include "relay_server/endpoints.h"

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
    Route{"POST", "/v1/claim", member,
          [](const Call& c) -> Reply {
            parseEmptyBody(c.body);
            return call(&Relay::claim, c.caller);
          }},
    Route{"GET", "/v1/jobs", member,
          [](const Call& c) -> Reply { return call(&Relay::listJobs, c.caller); }},
    Route{"POST", "/v1/jobs", member,
          [](const Call& c) -> Reply {
            return call(&Relay::queueJob, c.caller, parseQueueJob(c.body));
          }},
    Route{"GET", "/v1/jobs/{id}", member,
          [](const Call& c) -> Reply { return call(&Relay::job, c.caller, c.id); }},
    Route{"GET", "/v1/jobs/{id}/events", member,
          [](const Call& c) -> Reply {
            return call(&Relay::events, c.caller, c.id, afterCursor(c.query));
          }},
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
    // (Relay::authorizeUpload and commitUpload, Relay::authorizeDownload).
    Route{"PUT", "/v1/jobs/{id}/artifact", member, nullptr, Transfer::upload},
    Route{"GET", "/v1/jobs/{id}/artifact", member, nullptr, Transfer::download},
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
