// What the relay reads from untrusted bodies and request lines.
#include "relay_server/requests.h"

#include <gtest/gtest.h>

#include <set>
#include <variant>

#include "relay_server/endpoints.h"
#include "relay_server/http_error.h"
#include "relay_server/routes.h"

namespace vek::relay_server {
namespace {

// The 400 text a body earns, or "" when it is accepted.
template <typename Parse>
std::string refusalOf(Parse parse, std::string_view body) {
  try {
    parse(body);
    return "";
  } catch (const HttpError& error) {
    EXPECT_EQ(error.status(), 400);
    return error.message();
  }
}

TEST(RequestBodies, BoundTheirTexts) {
  EXPECT_EQ(refusalOf(parseCreateGroup, R"({"name":"","device_name":"B"})"),
            "The member \"name\" must not be empty.");
  EXPECT_EQ(refusalOf(parseCreateGroup,
                      R"({"name":")" + std::string(300, 'x') + R"(","device_name":"B"})"),
            "The member \"name\" is longer than 256 bytes.");
  EXPECT_EQ(refusalOf(parseQueueJob, R"({"builder_id":"a","receiver_id":"b","project_id":"p",
      "scheme":"s","configuration":"c","mode":"Debug","udid":"u"})"),
            "The member \"mode\" must be \"adhoc\" or \"debug\".");
  EXPECT_EQ(refusalOf(parseFinishBuild, R"({"manifest":"{}"})"),
            "The member \"manifest\" must be a JSON object.");
}

TEST(RequestBodies, EmptyBodiesAcceptNothingButObjects) {
  EXPECT_EQ(refusalOf(parseEmptyBody, ""), "");
  EXPECT_EQ(refusalOf(parseEmptyBody, " {\"extra\":1} "), "");
  EXPECT_EQ(refusalOf(parseEmptyBody, "null"), "The request body must be a JSON object.");
}

TEST(RequestBodies, HeartbeatLeasesMustBeWellFormed) {
  HeartbeatRequest beat =
      parseHeartbeat(R"({"inventory":{"phones":[]},"leases":[{"id":"ABC-def","token":"t"}]})");
  ASSERT_EQ(beat.leases.size(), 1u);
  EXPECT_EQ(beat.leases[0].jobId, "abc-def");
  EXPECT_EQ(beat.inventoryText, R"({"phones":[]})");
  EXPECT_NE(refusalOf(parseHeartbeat, R"({"inventory":{},"leases":[{"id":1,"token":"t"}]})"), "");
  EXPECT_NE(refusalOf(parseHeartbeat, R"({"inventory":{},"leases":{}})"), "");
  EXPECT_NE(refusalOf(parseHeartbeat, R"({"inventory":[],"leases":[]})"), "");
  std::string many = R"({"inventory":{},"leases":[)";
  for (int i = 0; i < 65; ++i)
    many += std::string(i ? "," : "") + R"({"id":"a","token":"b"})";
  EXPECT_NE(refusalOf(parseHeartbeat, many + "]}"), "");
}

// `depth` nested arrays with a number at the bottom: "[[[1]]]" is three levels.
std::string nested(std::size_t depth) {
  return std::string(depth, '[') + "1" + std::string(depth, ']');
}

// The status and text a body earns; {0, ""} when it is accepted.
template <typename Parse>
std::pair<int, std::string> answerTo(Parse parse, const std::string& body) {
  try {
    parse(body);
    return {0, ""};
  } catch (const HttpError& error) {
    return {error.status(), error.message()};
  }
}

// What the relay keeps and serves back must stay readable inside its answers, which wrap it in
// a few more levels, and must not let one Mac inflate every answer.
TEST(RequestBodies, StoredValuesAreBoundedInDepthAndSize) {
  // The inventory object is the first level, so 15 more fit and 16 do not.
  auto inventory = [](std::size_t levels) {
    return R"({"leases":[],"inventory":{"x":)" + nested(levels) + "}}";
  };
  EXPECT_EQ(answerTo(parseHeartbeat, inventory(15)).first, 0);
  auto deep = answerTo(parseHeartbeat, inventory(16));
  EXPECT_EQ(deep.first, 400);
  EXPECT_EQ(deep.second,
            "The member \"inventory\" nests arrays and objects more than 16 levels deep, more "
            "than the relay keeps.");
  EXPECT_EQ(answerTo(parseHeartbeat, inventory(509)).first, 400);
  auto manifest = [](std::size_t levels) { return R"({"manifest":{"x":)" + nested(levels) + "}}"; };
  EXPECT_EQ(answerTo(parseFinishBuild, manifest(15)).first, 0);
  EXPECT_EQ(answerTo(parseFinishBuild, manifest(16)).first, 400);
  // Depth counts the deepest branch, not the first one.
  EXPECT_EQ(answerTo(parseFinishBuild, R"({"manifest":{"a":1,"z":)" + nested(16) + "}}").first,
            400);

  // {"x":"..."} is 8 bytes around the text.
  auto sized = [](std::string_view member, std::size_t bytes) {
    return R"({"leases":[],")" + std::string(member) + R"(":{"x":")" + std::string(bytes - 8, 'a') +
           R"("}})";
  };
  EXPECT_EQ(answerTo(parseHeartbeat, sized("inventory", kMaxInventoryBytes)).first, 0);
  auto big = answerTo(parseHeartbeat, sized("inventory", kMaxInventoryBytes + 1));
  EXPECT_EQ(big.first, 413);
  EXPECT_EQ(big.second,
            "The member \"inventory\" is 65537 bytes as compact JSON, more than the 64 KiB the "
            "relay keeps.");
  EXPECT_EQ(answerTo(parseFinishBuild, sized("manifest", kMaxManifestBytes)).first, 0);
  EXPECT_EQ(answerTo(parseFinishBuild, sized("manifest", kMaxManifestBytes + 1)).first, 413);
  // The size is that of the value as stored: whitespace in the body does not count.
  std::string spaced = R"({"leases":[],"inventory":{"x":")" + std::string(100, 'a') + "\"" +
                       std::string(kMaxInventoryBytes, ' ') + "}}";
  EXPECT_EQ(answerTo(parseHeartbeat, spaced).first, 0);
}

TEST(RequestBodies, JoinTakesAnyCodeValue) {
  EXPECT_EQ(parseJoin(R"({"code":"abc","device_name":"Mac"})").code, "abc");
  EXPECT_FALSE(parseJoin(R"({"code":null,"device_name":"Mac"})").code.has_value());
  EXPECT_FALSE(parseJoin(R"({"code":{"x":1},"device_name":"Mac"})").code.has_value());
  EXPECT_NE(refusalOf(parseJoin, R"({"device_name":"Mac"})"), "");
}

TEST(RequestBodies, LongTextsAreCutWithoutBreakingCharacters) {
  std::string euro = "\xE2\x82\xAC";  // three bytes
  std::string message;
  for (int i = 0; i < 2000; ++i)
    message += euro;
  std::string cut = parseEvent(R"({"message":")" + message + R"("})").message;
  EXPECT_EQ(cut.size(), 4095u);  // 1365 whole euro signs; the 1366th would pass 4096 bytes
  std::string error = parseFail(R"({"error":")" + message + message + R"("})").error;
  EXPECT_EQ(error.size(), 2000u * 3);
  EXPECT_EQ(cutUTF8("ab" + euro, 4), "ab");
}

TEST(Routes, MatchMethodsAndIds) {
  auto match = [](std::string_view method, std::string_view target) {
    return matchRoute(relayRoutes(), method, target);
  };
  RouteMatch job = match("GET", "/v1/jobs/ABCDEF/events?after=5&x=y");
  EXPECT_EQ(job.route->path, "/v1/jobs/{id}/events");
  EXPECT_EQ(job.id, "abcdef");
  EXPECT_EQ(afterCursor(job.query), 5);
  EXPECT_EQ(match("PUT", "/v1/jobs/x/artifact").route->transfer, Transfer::upload);
  EXPECT_EQ(match("GET", "/v1/jobs/x/artifact").route->transfer, Transfer::download);
  RouteMatch queue = match("POST", "/v1/jobs");
  EXPECT_EQ(queue.route->path, "/v1/jobs");
  EXPECT_EQ(queue.route->method, "POST");
  auto statusOf = [&](std::string_view method, std::string_view target) {
    try {
      match(method, target);
      return 200;
    } catch (const HttpError& error) {
      return error.status();
    }
  };
  EXPECT_EQ(statusOf("PATCH", "/v1/jobs"), 405);
  EXPECT_EQ(statusOf("GET", "/v1/jobs/"), 404);
  EXPECT_EQ(statusOf("GET", "/v1/jobs//events"), 404);
  EXPECT_EQ(statusOf("GET", "/v1/jobs/a/b/events"), 404);
  EXPECT_EQ(statusOf("GET", "http://elsewhere/v1/jobs"), 404);
}

// Every row can be served: JSON rows have a handler, streamed ones are left to the connection,
// and no method and path appear twice (the later row could never be reached).
TEST(Routes, TheRelaysTableIsComplete) {
  std::set<std::pair<std::string_view, std::string_view>> seen;
  for (const Route& route : relayRoutes()) {
    EXPECT_EQ(route.handler != nullptr, route.transfer == Transfer::json) << route.path;
    EXPECT_TRUE(seen.emplace(route.method, route.path).second) << route.method << route.path;
  }
  Call call;
  // A body is checked before any relay work is made of it.
  call.body = "[]";
  EXPECT_THROW(matchRoute(relayRoutes(), "POST", "/v1/claim").route->handler(call), HttpError);
}

TEST(Routes, AllowListsEveryMethodOfAPath) {
  EXPECT_EQ(allowedMethods(relayRoutes(), "/v1/group"), "GET");
  EXPECT_EQ(allowedMethods(relayRoutes(), "/v1/jobs?x=1"), "GET, POST");
  EXPECT_EQ(allowedMethods(relayRoutes(), "/v1/jobs/abc/artifact"),
            "PUT, GET, HEAD, PATCH, OPTIONS");
  EXPECT_EQ(allowedMethods(relayRoutes(), "/v1/nothing"), "");
}

TEST(Routes, AfterCursorIsAWholeNumber) {
  EXPECT_FALSE(afterCursor("").has_value());
  EXPECT_EQ(afterCursor("after=0"), 0);
  EXPECT_EQ(afterCursor("after=99999999999999999999999"), INT64_MAX);
  for (std::string_view bad : {"after=", "after=-1", "after=1.5", "after=0x10", "after= 1"}) {
    EXPECT_THROW(afterCursor(bad), HttpError) << bad;
  }
}

TEST(Routes, WaitIsSecondsFromZeroToTwentyFive) {
  EXPECT_FALSE(waitParameter("after=3").has_value());
  const std::pair<std::string_view, std::int64_t> good[] = {
      {"wait=0", 0},         {"after=1&wait=5", 5000}, {"wait=2.5", 2500},
      {"wait=4.8739", 4873}, {"wait=025", 25000},      {"wait=25.000", 25000}};
  for (auto [query, milliseconds] : good) {
    EXPECT_EQ(waitParameter(query), std::chrono::milliseconds(milliseconds)) << query;
  }
  for (std::string_view bad : {"wait=", "wait", "wait=-1", "wait=25.001", "wait=26", "wait=1e3",
                               "wait=.5", "wait=5.", "wait=nan", "wait=99999999999999999999999"}) {
    try {
      waitParameter(bad);
      ADD_FAILURE() << bad;
    } catch (const HttpError& error) {
      EXPECT_EQ(error.message(),
                "The query parameter \"wait\" must be a number of seconds from 0 to 25, such "
                "as 5 or 2.5.");
    }
  }
}

TEST(Routes, LoggedTargetsHideQueryValuesAndControlBytes) {
  EXPECT_EQ(loggableTarget("/v1/jobs/a/events?after=12&token=secret"),
            "/v1/jobs/a/events?after&token");
  EXPECT_EQ(loggableTarget("/x\n2026 GET /forged"), "/x\\x0a2026\\x20GET\\x20/forged");
}

}  // namespace
}  // namespace vek::relay_server
