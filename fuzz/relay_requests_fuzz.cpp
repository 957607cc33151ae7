// Feeds arbitrary bytes to the relay's request parsing: the first byte picks a body parser, the
// headers of a resumable transfer, or the request-target handling; the rest is the input. Every
// input must either yield a request that satisfies the documented bounds or be refused with a 400
// (a 413 for a value the relay keeps that is too large); any other exception, or an accepted value
// outside the bounds, is a bug.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/text.h"
#include "relay_server/http_error.h"
#include "relay_server/requests.h"
#include "relay_server/resumable_transfers.h"
#include "relay_server/routes.h"

namespace {

using namespace vek::relay_server;

// Rows of every shape the relay's table uses: fixed paths, one method or two on a path, and an
// {id} segment in the middle or at the end. Matching does not call handlers.
constexpr Route kRoutes[] = {
    {"GET", "/healthz", Access::open},
    {"GET", "/v1/jobs", Access::member},
    {"POST", "/v1/jobs", Access::member},
    {"GET", "/v1/jobs/{id}", Access::member},
    {"GET", "/v1/jobs/{id}/events", Access::member},
    {"PUT", "/v1/jobs/{id}/artifact", Access::member, nullptr, Transfer::upload},
    {"DELETE", "/v1/devices/{id}", Access::member},
};

void check(bool condition) {
  if (!condition) std::abort();
}

// The lines of `input`, as many as asked for (missing ones empty).
std::vector<std::string> lines(std::string_view input, std::size_t count) {
  std::vector<std::string> found(count);
  for (std::size_t i = 0; i < count && !input.empty(); ++i) {
    std::size_t end = input.find('\n');
    found[i] = std::string(input.substr(0, end));
    input = end == std::string_view::npos ? std::string_view() : input.substr(end + 1);
  }
  return found;
}

// A Range header, and a PATCH against a held build: Range, Upload-Offset, Upload-Length,
// X-VEK-SHA256, Content-Type, the body's length, the held offset and length (none when empty),
// and whether the held build is published, one a line. A plan never places bytes outside the
// build it names.
void transferHeaders(std::string_view input) {
  std::vector<std::string> field = lines(input, 9);
  if (auto start = rangeStart(field[0])) {
    check(field[0].size() > 7 && field[0].back() == '-' &&
          lowerASCII(field[0].substr(0, 6)) == "bytes=");
  }
  auto number = [](const std::string& text) { return vek::text::parseDecimal(text); };
  std::optional<HeldBuild> held;
  if (auto offset = number(field[6]), length = number(field[7]); offset && length) {
    if (*offset > *length) return;
    // A published build is whole, as the relay holds it.
    const bool published = !field[8].empty();
    held = HeldBuild{published ? *length : *offset, *length, std::string(64, 'a'), published};
  }
  auto optional = [](const std::string& text) {
    return text.empty() ? std::nullopt : std::optional<std::string>(text);
  };
  PatchHeaders request{optional(field[1]), optional(field[2]), optional(field[3]),
                       optional(field[4]), number(field[5]).value_or(0)};
  constexpr std::uint64_t max = 1 << 20;
  try {
    PatchPlan plan = planPatch(held, request, max);
    check(plan.offset <= plan.length && request.bytes <= plan.length - plan.offset);
    switch (plan.action) {
      case PatchPlan::Action::restart:
        check(plan.offset == 0 && plan.length <= max && isLowerHexDigest(plan.sha));
        break;
      case PatchPlan::Action::append:
        check(held && !held->published && plan.offset == held->offset);
        break;
      case PatchPlan::Action::nothing:
        check(held && held->published && request.bytes == 0);
        break;
    }
  } catch (const HttpError& error) {
    int status = error.status();
    check(status == 400 || status == 409 || status == 413 || status == 415);
    check(!error.message().empty());
  }
}

bool nameOk(const std::string& name, std::size_t limit) {
  return !name.empty() && name.size() <= limit && vek::text::isValidUTF8(name);
}

void parseBody(std::uint8_t selector, std::string_view body) {
  switch (selector % 10) {
    case 0: {
      CreateGroupRequest request = parseCreateGroup(body);
      check(nameOk(request.name, kMaxNameBytes) && nameOk(request.deviceName, kMaxNameBytes));
      break;
    }
    case 1: {
      JoinRequest request = parseJoin(body);
      check(nameOk(request.deviceName, kMaxNameBytes));
      break;
    }
    case 2: {
      HeartbeatRequest request = parseHeartbeat(body);
      check(request.inventory.isObject() && request.leases.size() <= kMaxLeasesPerHeartbeat);
      check(vek::JSON::decode(request.inventoryText) == request.inventory);
      check(request.inventoryText.size() <= kMaxInventoryBytes &&
            !nestsDeeperThan(request.inventory, kMaxStoredJsonDepth));
      break;
    }
    case 3: {
      QueueJobRequest request = parseQueueJob(body);
      check(request.mode == "adhoc" || request.mode == "debug");
      check(nameOk(request.udid, kMaxJobFieldBytes) &&
            nameOk(request.builderId, kMaxJobFieldBytes));
      break;
    }
    case 4: {
      EventRequest request = parseEvent(body);
      check(request.message.size() <= kMaxEventBytes && vek::text::isValidUTF8(request.message));
      break;
    }
    case 5: {
      FailRequest request = parseFail(body);
      check(vek::text::isValidUTF8(request.error));
      break;
    }
    case 6: {
      FinishBuildRequest request = parseFinishBuild(body);
      vek::JSON manifest = vek::JSON::decode(request.manifestText);
      check(manifest.isObject() && request.manifestText.size() <= kMaxManifestBytes &&
            !nestsDeeperThan(manifest, kMaxStoredJsonDepth));
      break;
    }
    case 7:
      parseEmptyBody(body);
      break;
    case 8:
      transferHeaders(body);
      break;
    default: {
      // The body as a request target, with each method.
      std::string logged = loggableTarget(body);
      for (char c : logged)
        check(c > 0x20 && c < 0x7F);
      bool served = !allowedMethods(kRoutes, body).empty();
      for (std::string_view method : {"GET", "POST", "PUT", "DELETE"}) {
        try {
          RouteMatch match = matchRoute(kRoutes, method, body);
          check(served);
          (void)afterCursor(match.query);
          check(match.id.find('/') == std::string::npos);
        } catch (const HttpError& error) {
          check(error.status() == 400 || error.status() == 404 || error.status() == 405);
          if (error.status() != 400) check(served == (error.status() == 405));
        }
      }
      break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::string_view body(reinterpret_cast<const char*>(data) + 1, size - 1);
  try {
    parseBody(data[0], body);
  } catch (const HttpError& error) {
    check(error.status() == 400 || error.status() == 404 || error.status() == 405 ||
          error.status() == 413);
    check(!error.message().empty());
  }
  return 0;
}
