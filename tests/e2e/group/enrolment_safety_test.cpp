// Enrolment as processes on one Mac, where it can go wrong without the relay noticing: where the
// credentials are written, and what happens when several enrolments run at once.
#include <gtest/gtest.h>
#include <pwd.h>

#include <map>
#include <optional>
#include <thread>

#include "foundation/json.h"
#include "mac.h"
#include "relay_process.h"
#include "test_support.h"

namespace vek {
namespace {

namespace fs = std::filesystem;
using testing::Mac;
using testing::ProgramResult;
using Strings = std::vector<std::string>;
using Environment = std::map<std::string, std::optional<std::string>>;

std::string errorOf(const ProgramResult& result) {
  return JSON::decode(result.err)["error"].text();
}

// A relay and a bootstrap file it accepts.
class Enrolment : public ::testing::Test {
 protected:
  void SetUp() override {
    relay_.start();
    testing::writeText(bootstrap_, relay_.bootstrapToken());
  }
  Strings create() const {
    return {"group",         "create",           "--server",
            relay_.origin(), "--bootstrap-file", bootstrap_.string()};
  }
  // The environment `mac` runs `vek` in, changed by `changes`.
  static Environment environmentOf(const Mac& mac, const Environment& changes = {}) {
    Environment environment{{"HOME", mac.home().string()},
                            {"XDG_DATA_HOME", std::nullopt},
                            {"VEK_STATE_DIR", mac.stateDirectory().string()},
                            {"TMPDIR", (mac.home() / "tmp").string()},
                            {"VEK_TOOL_ROOT", std::nullopt}};
    for (const auto& [name, value] : changes)
      environment[name] = value;
    return environment;
  }
  // `vek` in `mac`'s environment changed by `changes`, run in `cwd`.
  static ProgramResult vek(const Mac& mac, const Strings& arguments, const Environment& changes,
                           const fs::path& cwd) {
    return testing::runProgram(testing::programDirectory() / "vek", arguments,
                               environmentOf(mac, changes), cwd);
  }

  testing::RelayProcess relay_;
  testing::TempDir files_;
  const fs::path bootstrap_ = files_ / "bootstrap";
};

TEST_F(Enrolment, ARelativeDataHomeDoesNotPutTheCredentialsInTheWorkingDirectory) {
  Mac mac;
  const fs::path work = mac.home() / "work", elsewhere = mac.home() / "elsewhere";
  fs::create_directories(work);
  fs::create_directories(elsewhere);
  ProgramResult created = vek(mac, create(), {{"XDG_DATA_HOME", "data"}}, work);
  ASSERT_EQ(created.status, 0) << created.err;
  EXPECT_FALSE(fs::exists(work / "data"));
  ASSERT_TRUE(mac.credentials());  // in $HOME/.local/share, as without the variable
  EXPECT_EQ(JSON::decode(created.out)["group_id"].text(), mac.credentials()->groupID);
  ProgramResult status = vek(mac, {"group", "status"}, {{"XDG_DATA_HOME", "data"}}, elsewhere);
  EXPECT_EQ(status.status, 0) << status.err;
}

TEST_F(Enrolment, CreatesRacingOnAFreshMacLeaveExactlyOneMembership) {
  Mac mac;
  constexpr int count = 4;
  std::vector<ProgramResult> results(count);
  std::vector<std::thread> runs;
  for (int i = 0; i < count; ++i)
    runs.emplace_back([&, i] { results[i] = mac.vek(create()); });
  for (auto& run : runs)
    run.join();
  std::vector<JSON> winners;
  for (const ProgramResult& result : results) {
    if (result.status == 0) {
      winners.push_back(JSON::decode(result.out));
    } else {
      EXPECT_EQ(errorOf(result), "This Mac is already enrolled.");
    }
  }
  ASSERT_EQ(winners.size(), 1u);
  ASSERT_TRUE(mac.credentials());
  EXPECT_EQ(mac.credentials()->groupID, winners[0]["group_id"].text());
  EXPECT_EQ(mac.credentials()->deviceID, winners[0]["device_id"].text());

  // An invite is spent once the relay has issued it; one that never reached its file is no success.
  ProgramResult invite =
      testing::runProgram("/bin/sh",
                          {"-c", "exec \"$0\" \"$@\" > /dev/full",
                           (testing::programDirectory() / "vek").string(), "group", "invite"},
                          environmentOf(mac), mac.home());
  EXPECT_EQ(invite.status, 1);
  EXPECT_EQ(errorOf(invite), "Cannot write standard output: No space left on device");
}

TEST_F(Enrolment, ARevokedMacJoinsAgainOnceWhileAMemberStaysEnrolled) {
  Mac studio, laptop;
  ASSERT_EQ(studio.vek(create()).status, 0);
  int issued = 0;
  auto invite = [&] {
    const fs::path file = studio.home() / ("invite-" + std::to_string(++issued) + ".json");
    testing::writeText(file, studio.vek({"group", "invite"}).out);
    return Strings{"group", "join", "--invite-file", file.string()};
  };
  const std::string first = laptop.ok(invite())["device_id"].text();
  // A member keeps its membership; the invite it was given is not spent.
  const Strings unspent = invite();
  EXPECT_EQ(laptop.error(unspent), "This Mac is already enrolled.");

  studio.ok({"group", "revoke", first});
  EXPECT_NE(laptop.error({"group", "status"}).find("revoked device credential"), std::string::npos);
  // Joins racing on the revoked Mac: exactly one replaces the revoked credentials.
  std::vector<Strings> joins{unspent, invite(), invite()};
  std::vector<ProgramResult> results(joins.size());
  std::vector<std::thread> runs;
  for (std::size_t i = 0; i < joins.size(); ++i)
    runs.emplace_back([&, i] { results[i] = laptop.vek(joins[i]); });
  for (auto& run : runs)
    run.join();
  std::vector<std::string> winners;
  for (const ProgramResult& result : results) {
    if (result.status == 0) {
      winners.push_back(JSON::decode(result.out)["device_id"].text());
    } else {
      EXPECT_EQ(errorOf(result), "This Mac is already enrolled.");
    }
  }
  ASSERT_EQ(winners.size(), 1u);
  EXPECT_NE(winners[0], first);
  EXPECT_EQ(laptop.credentials()->deviceID, winners[0]);
  EXPECT_EQ(laptop.vek({"group", "status"}).status, 0);
  // A create on the member it is again is refused as well.
  EXPECT_EQ(laptop.error(create()), "This Mac is already enrolled.");
}

TEST_F(Enrolment, WithoutAnyHomeDirectoryNothingIsWritten) {
  // A user the password database does not know, inside a user namespace, with no HOME.
  uid_t stranger = 4242;
  while (::getpwuid(stranger))
    ++stranger;
  const std::string id = std::to_string(stranger);
  Mac mac;
  const fs::path work = mac.home() / "work";
  fs::create_directories(work);
  Strings arguments{"--user", "--map-user=" + id, "--map-group=" + id,
                    (testing::programDirectory() / "vek").string()};
  for (const std::string& argument : create())
    arguments.push_back(argument);
  ProgramResult result = testing::runProgram(
      "/usr/bin/unshare", arguments,
      {{"HOME", std::nullopt}, {"XDG_DATA_HOME", std::nullopt}, {"TMPDIR", work.string()}}, work);
  if (result.err.starts_with("unshare:")) GTEST_SKIP() << "no user namespaces: " << result.err;
  EXPECT_EQ(result.status, 1);
  EXPECT_TRUE(errorOf(result).starts_with("Cannot find the home directory: ")) << result.err;
  EXPECT_TRUE(fs::is_empty(work));
}

}  // namespace
}  // namespace vek
