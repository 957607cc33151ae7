#include "desktop/app_model.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <memory>

#include "desktop/model_test_support.h"
#include "foundation/errors.h"
#include "foundation/secret_store.h"
#include "projects/project_store.h"
#include "relay_client/api.h"
#include "relay_client/enrollment.h"
#include "relay_process.h"
#include "scripted_http_server.h"

namespace vek::desktop {
namespace {

using namespace vek::desktop::testing;
using vek::testing::RelayProcess;
using vek::testing::ScriptedAnswer;
using vek::testing::ScriptedHttpServer;

// A model on a test-driven UI thread, with a private home and a clipboard the test can read.
class ModelTest : public ::testing::Test {
 protected:
  std::unique_ptr<AppModel> makeModel() {
    Platform platform;
    platform.chooseProject = [this] { return chosenProject; };
    platform.copyToClipboard = [this](const std::string& text) { clipboard = text; };
    platform.openFolder = [this](const std::filesystem::path& folder) {
      opened = folder;
      return true;
    };
    platform.programPath = home.path() / "bin" / "vek-desktop";
    auto model = std::make_unique<AppModel>(ui, platform);
    EXPECT_TRUE(ui.runUntil([&] { return model->credentialsLoaded(); }));
    settle(*model);
    return model;
  }

  // Runs the UI thread until the model's workers are all done.
  void settle(AppModel& model) {
    ASSERT_TRUE(ui.runUntil([&] { return model.runningWorkers() == 0; }));
  }

  void refreshed(AppModel& model) {
    bool done = false;
    model.refresh([&] { done = true; });
    ASSERT_TRUE(ui.runUntil([&] { return done; }));
  }

  void performed(AppModel& model) {
    ASSERT_TRUE(ui.runUntil([&] { return !model.busy(); }));
    settle(model);
  }

  ManualUiThread ui;
  PrivateHome home;
  std::optional<std::string> chosenProject;
  std::string clipboard;
  std::filesystem::path opened;
};

// The same body answers both the group and the job-list request, which run at the same time in
// no fixed order: the model reads "devices" from one and "jobs" from the other.
ScriptedAnswer groupAndJobs(const JSON& devices, const JSON& jobs = JSON::array()) {
  return ScriptedAnswer::json(200, JSON::object({{"devices", devices}, {"jobs", jobs}}).data());
}

JSON member(const std::string& id, JSON online, JSON inventory, int revoked = 0) {
  return JSON::object({{"id", id},
                       {"name", "Mac " + id},
                       {"online", std::move(online)},
                       {"revoked", revoked},
                       {"inventory", std::move(inventory)}});
}

TEST_F(ModelTest, SelectionFollowsWhatTheGroupOffers) {
  JSON devices = JSON::array(
      {member("mac-1", true,
              inventory(JSON::array(), JSON::array({phone("p0", "Locked", false),
                                                    phone("p1", "Ada's iPhone", true)}))),
       member("mac-2", true,
              inventory(JSON::array({projectSummary("P1", "Atlas", {JSON(7), "App", "Widget"},
                                                    {"Debug", "Staging"})}),
                        JSON::array())),
       member("mac-3", true,
              inventory(JSON::array({projectSummary("P3", "Gone", {"Old"}, {"Release"})}),
                        JSON::array()),
              1)});
  ScriptedHttpServer relay({groupAndJobs(devices), groupAndJobs(devices)});
  home.enrol(sampleCredentials(relay.origin(), "mac-1"));
  auto model = makeModel();

  ASSERT_TRUE(model->connected()) << model->error().value_or("");
  EXPECT_EQ(model->devices().size(), 2u);
  ASSERT_EQ(model->builders().size(), 1u);
  EXPECT_EQ(model->builder(), "mac-2");
  EXPECT_EQ(model->project(), "P1");
  EXPECT_EQ(model->scheme(), "App");
  EXPECT_EQ(model->configuration(), "Debug");
  EXPECT_EQ(model->receiver(), "mac-1");
  EXPECT_EQ(model->phone(), "p1");
  EXPECT_TRUE(model->canDeploy());

  // Debug is offered and chosen; Release is not offered, so Ad Hoc leaves Debug in place.
  model->setMode("debug");
  EXPECT_EQ(model->configuration(), "Debug");
  model->setMode("adhoc");
  EXPECT_EQ(model->configuration(), "Debug");
  model->setConfiguration("Staging");
  model->setMode("debug");
  EXPECT_EQ(model->configuration(), "Debug");

  // A revoked Mac is in no lookup, even when chosen by id.
  model->setBuilder("mac-3");
  EXPECT_TRUE(model->selectedBuilder().isNull());
  EXPECT_EQ(model->project(), "");
  EXPECT_EQ(model->scheme(), "");
  EXPECT_FALSE(model->canDeploy());

  // A receiver without available phones leaves no phone chosen.
  model->setBuilder("mac-2");
  model->setReceiver("mac-2");
  EXPECT_EQ(model->phone(), "");
  EXPECT_FALSE(model->canDeploy());
}

TEST_F(ModelTest, ThisMacIsPreferredAsBuilderAndOnlyTrueCountsAsTrue) {
  JSON projects = JSON::array({projectSummary("P1", "Atlas", {"App"}, {"Debug", "Release"})});
  JSON devices = JSON::array(
      {member("mac-2", true, inventory(projects, JSON::array())),
       member(
           "mac-1", "true",
           inventory(projects, JSON::array({phone("p1", "Phone", 1), phone("p2", "Pad", true)})))});
  ScriptedHttpServer relay({groupAndJobs(devices), groupAndJobs(devices)});
  home.enrol(sampleCredentials(relay.origin(), "mac-1"));
  auto model = makeModel();

  EXPECT_EQ(model->builder(), "mac-1");
  EXPECT_EQ(model->configuration(), "Release");
  EXPECT_EQ(model->phone(), "p2");
  // This Mac says "online": "true", a string: it counts as offline, and so nothing deploys.
  EXPECT_FALSE(model->canDeploy());
  model->setReceiver("mac-2");
  model->setBuilder("mac-2");
  EXPECT_FALSE(model->canDeploy());
}

TEST_F(ModelTest, MalformedRecordsReadAsEmpty) {
  ScriptedHttpServer relay(
      {ScriptedAnswer::json(200, R"({"devices": [5, "x", {"id": 7, "inventory": "bad",
          "online": true, "revoked": "yes"}, {"id": "m", "inventory": {"projects": [{"id": 3,
          "schemes": "App"}], "phones": [{"udid": null, "available": true}]}}], "jobs": {"a": 1}})"),
       ScriptedAnswer::json(200, R"({"devices": {}, "jobs": [1, {"spec": 4}]})")});
  home.enrol(sampleCredentials(relay.origin(), "m"));
  auto model = makeModel();

  ASSERT_TRUE(model->connected()) << model->error().value_or("");
  EXPECT_FALSE(model->canDeploy());
  EXPECT_EQ(model->scheme(), "");
  EXPECT_EQ(model->phone(), "");
}

TEST_F(ModelTest, FailedRefreshKeepsEarlierValuesAndTheNextOneRecovers) {
  JSON devices = JSON::array(
      {member("mac-1", true,
              inventory(JSON::array({projectSummary("P1", "Atlas", {"App"}, {"Release"})}),
                        JSON::array({phone("p1", "Phone", true)})))});
  JSON jobs = JSON::array({JSON::object({{"id", "j1"}, {"state", "building"}})});
  ScriptedHttpServer relay({groupAndJobs(devices, jobs), groupAndJobs(devices, jobs),
                            ScriptedAnswer::json(503, R"({"error": "Relay is resting"})"),
                            ScriptedAnswer::json(503, R"({"error": "Relay is resting"})"),
                            ScriptedAnswer::http(200, "<html>proxy</html>"),
                            ScriptedAnswer::http(200, "<html>proxy</html>"), groupAndJobs(devices),
                            groupAndJobs(devices)});
  home.enrol(sampleCredentials(relay.origin(), "mac-1"));
  auto model = makeModel();
  ASSERT_TRUE(model->canDeploy());

  refreshed(*model);
  EXPECT_FALSE(model->connected());
  EXPECT_EQ(model->error(), "Relay is resting");
  EXPECT_EQ(model->jobs().size(), 1u);
  EXPECT_EQ(model->builder(), "mac-1");
  EXPECT_EQ(model->phone(), "p1");
  EXPECT_FALSE(model->canDeploy());

  refreshed(*model);
  EXPECT_FALSE(model->connected());
  ASSERT_TRUE(model->error());
  EXPECT_NE(model->error()->find("JSON"), std::string::npos) << *model->error();

  // A successful refresh reconnects but leaves the earlier error for the user to dismiss.
  refreshed(*model);
  EXPECT_TRUE(model->connected());
  EXPECT_TRUE(model->error());
  EXPECT_TRUE(model->jobs().empty());
  model->dismissError();
  EXPECT_FALSE(model->error());
}

TEST_F(ModelTest, WithoutCredentialsRefreshReadsOnlyThisMac) {
  Project project{"0b6f3d7e-0000-4000-8000-000000000001",
                  "Atlas",
                  "/src/Atlas.xcodeproj",
                  {"App"},
                  {"Release"},
                  std::nullopt,
                  std::nullopt,
                  true};
  ProjectStore::upsert(project);
  auto model = makeModel();
  refreshed(*model);
  EXPECT_FALSE(model->credentials());
  ASSERT_EQ(model->localProjects().size(), 1u);
  EXPECT_EQ(model->localProjects()[0].name, "Atlas");
  EXPECT_FALSE(model->agent()["running"].flag());
  EXPECT_TRUE(model->agent().isObject());
  EXPECT_FALSE(model->connected());
  EXPECT_FALSE(model->error());

  // An unreadable registry shows as no projects, without a message.
  vek::testing::writeText(ProjectStore::file(), "{not a registry");
  refreshed(*model);
  EXPECT_TRUE(model->localProjects().empty());
  EXPECT_FALSE(model->error());
}

TEST_F(ModelTest, ActionsRunOneAtATimeAndFailuresSkipTheRefresh) {
  ScriptedHttpServer relay({});
  home.enrol(sampleCredentials(relay.origin(), "mac-1"));
  auto model = makeModel();
  std::size_t requestsBefore = relay.requests().size();

  std::atomic<bool> release = false;
  std::atomic<bool> secondRan = false;
  model->perform([&](AppModel&) {
    while (!release)
      task::sleepFor(std::chrono::milliseconds(5));
    throw VEKError("No luck this time.");
  });
  EXPECT_TRUE(model->busy());
  EXPECT_FALSE(model->canDeploy());
  model->perform([&](AppModel&) { secondRan = true; });
  model->deploy();
  release = true;
  performed(*model);

  EXPECT_FALSE(secondRan);
  EXPECT_EQ(model->error(), "No luck this time.");
  EXPECT_FALSE(model->notice());
  EXPECT_EQ(relay.requests().size(), requestsBefore);

  // The next action clears the old message before it runs.
  model->perform([](AppModel&) {});
  EXPECT_FALSE(model->error());
  performed(*model);
}

TEST_F(ModelTest, ProjectRegistrationAsksThePlatformFirst) {
  auto model = makeModel();
  model->addProject();
  EXPECT_FALSE(model->busy());

  chosenProject = (home.path() / "Notes.txt").string();
  model->addProject();
  performed(*model);
  EXPECT_EQ(model->error(), std::string(ProjectStore::notAProjectMessage));
  EXPECT_TRUE(model->localProjects().empty());
}

TEST_F(ModelTest, DeploymentsReachTheRelayAndTheirEventsFollow) {
  RelayProcess relay;
  relay.start();
  FileSecretStore otherStore(home.path() / "other-keychain");
  Credentials other =
      Enrollment::create(relay.origin(), "Studio", "Build Mac", relay.bootstrapToken(), otherStore);
  FileSecretStore ownStore(home.path() / ".local/share/vek-keychain");
  Credentials self = Enrollment::join(Enrollment::invite(other), "Ada's Mac", ownStore);
  JSON builderInventory = inventory(
      JSON::array({projectSummary("P1", "Atlas", {"App"}, {"Debug", "Release"})}), JSON::array());
  JSON receiverInventory =
      inventory(JSON::array(), JSON::array({phone("00008110-AAAA", "Ada's iPhone", true)}));
  heartbeat(other, builderInventory);
  heartbeat(self, receiverInventory);

  auto model = makeModel();
  ASSERT_TRUE(model->connected()) << model->error().value_or("");
  EXPECT_EQ(model->builder(), other.deviceID);
  EXPECT_EQ(model->receiver(), self.deviceID);
  ASSERT_TRUE(model->canDeploy());

  model->deploy();
  performed(*model);
  ASSERT_FALSE(model->error()) << *model->error();
  EXPECT_EQ(model->notice(), "Deployment queued. Both Macs will report progress here.");
  ASSERT_TRUE(model->selectedJob());
  ASSERT_EQ(model->jobs().size(), 1u);
  EXPECT_EQ(model->jobs()[0]["id"].text(), *model->selectedJob());
  EXPECT_EQ(model->jobs()[0]["spec"]["udid"].text(), "00008110-AAAA");

  // The timeline moves as the Macs post, with no refresh; a refresh keeps each event once.
  playJob(other, self, builderInventory, receiverInventory, "Archiving Atlas", "Launched");
  auto messages = [&] {
    std::vector<std::string> texts;
    for (const JSON& event : model->events())
      texts.push_back(event["message"].text());
    return texts;
  };
  const std::vector<std::string> posted{"Archiving Atlas", "Launched"};
  EXPECT_TRUE(ui.runUntil([&] { return messages() == posted; })) << messages().size();
  refreshed(*model);
  EXPECT_EQ(model->jobs()[0]["state"].text(), "succeeded");
  EXPECT_EQ(messages(), posted);

  // The invite goes to the clipboard and nowhere else.
  model->makeInvite();
  performed(*model);
  EXPECT_TRUE(clipboard.starts_with("vek1.")) << clipboard;
  EXPECT_EQ(model->notice(), "Invite copied. It expires in 15 minutes and can be used once.");

  // Revoking the other Mac removes it from the group and from the selection.
  model->revoke(other.deviceID);
  performed(*model);
  ASSERT_FALSE(model->error()) << *model->error();
  EXPECT_EQ(model->devices().size(), 1u);
  EXPECT_TRUE(model->selectedBuilder().isNull());
  EXPECT_FALSE(model->canDeploy());
}

TEST_F(ModelTest, EnrolmentStaysWhenTheAgentCannotStart) {
  RelayProcess relay;
  relay.start();
  auto model = makeModel();
  bool cleared = false;
  model->createGroup(relay.origin(), "Studio", "Ada's Mac", "wrong key", [&] { cleared = true; });
  performed(*model);
  EXPECT_FALSE(model->credentials());
  EXPECT_FALSE(cleared);
  ASSERT_TRUE(model->error());

  model->createGroup(relay.origin(), "Studio", "Ada's Mac", relay.bootstrapToken(),
                     [&] { cleared = true; });
  performed(*model);
  ASSERT_TRUE(model->credentials());
  EXPECT_TRUE(cleared);
  EXPECT_EQ(model->credentials()->groupName, "Studio");
  // No vek beside this test's program: the agent fails, the enrolment does not.
  EXPECT_EQ(model->error(), "VEK CLI executable not found");
  EXPECT_FALSE(model->notice());
}

TEST_F(ModelTest, UnreadableCredentialsLeaveThisMacUnenrolledWithTheReason) {
  home.enrol(sampleCredentials("http://127.0.0.1:1"));
  for (const auto& item :
       std::filesystem::directory_iterator(home.path() / ".local/share/vek-keychain")) {
    vek::testing::writeText(item.path(), "not an item");
  }
  auto model = makeModel();
  EXPECT_FALSE(model->credentials());
  ASSERT_TRUE(model->error());
  EXPECT_NE(model->error()->find("Keychain"), std::string::npos) << *model->error();
}

TEST_F(ModelTest, StateFoldersAreCreatedBeforeTheyAreOpened) {
  auto model = makeModel();
  model->openStateFolder("Logs");
  settle(*model);
  EXPECT_EQ(opened, home.path() / "state" / "Logs");
  EXPECT_TRUE(std::filesystem::is_directory(opened));

  // A folder that cannot be had opens nothing.
  opened.clear();
  vek::testing::writeText(home.path() / "state" / "Jobs", "a file where the folder goes");
  model->openStateFolder("Jobs");
  settle(*model);
  EXPECT_TRUE(opened.empty());
}

TEST(CliPath, BundledToolFirstThenTheOneBesideTheProgram) {
  vek::testing::TempDir root;
  std::filesystem::path macOS = root / "VEK.app/Contents/MacOS";
  vek::testing::writeText(macOS / "vek", "#!/bin/sh\n");
  ::chmod((macOS / "vek").c_str(), 0700);
  EXPECT_EQ(cliPathFor(macOS / "VEK"), macOS / "vek");
  EXPECT_EQ(cliPathFor(root / "usr/bin/vek-desktop"), root / "usr/bin/vek");
}

}  // namespace
}  // namespace vek::desktop
