#include "foundation/credentials.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "foundation/errors.h"
#include "foundation/paths.h"
#include "foundation/program.h"
#include "test_support.h"

namespace vek {
namespace {

namespace fs = std::filesystem;
using vek::testing::failureOf;

class CredentialStoreTest : public ::testing::Test {
 protected:
  fs::path itemPath() {
    return store_.itemPath(CredentialStore::service, CredentialStore::account);
  }
  FileSecretStore& store() { return store_; }

  vek::testing::TempDir scratch_;
  const fs::path folder_ = scratch_.path();
  FileSecretStore store_{folder_ / "vek-keychain"};
};

Credentials sample() {
  return {"https://relay.example", "dev-1", "tok", "grp-1", "My Macs", "Studio", "a2V5"};
}

TEST(Credentials, AuthorizationIsBearerDeviceDotToken) {
  EXPECT_EQ(sample().authorization(), "Bearer dev-1.tok");
}

TEST(Credentials, FromRelayAnswerReadsTextsAndNeverFails) {
  JSON answer =
      JSON::object({{"device_id", "d"}, {"token", "t"}, {"group_id", "g"}, {"group_name", 7}});
  Credentials made = Credentials::fromRelayAnswer("https://r", answer, "Mac", "key");
  EXPECT_EQ(made, (Credentials{"https://r", "d", "t", "g", "", "Mac", "key"}));
  EXPECT_EQ(Credentials::fromRelayAnswer("s", JSON::array(), "n", "k").deviceID, "");
}

TEST(Credentials, EncodesWithTheSevenKeysAndRequiresThemAll) {
  JSON encoded = JSON::decode(sample().encode());
  EXPECT_EQ(encoded.fields().size(), 7u);
  EXPECT_EQ(encoded["deviceID"], JSON("dev-1"));
  EXPECT_EQ(encoded["encryptionKey"], JSON("a2V5"));
  EXPECT_EQ(Credentials::decode(sample().encode()), sample());
  for (const auto& [key, value] : encoded.fields()) {
    JSON lacking = encoded;
    JSON::Object members = lacking.fields();
    members.erase(key);
    EXPECT_THROW(Credentials::decode(JSON(members).data()), DecodingError) << key;
    JSON mistyped = encoded;
    mistyped.set(key, 1);
    EXPECT_THROW(Credentials::decode(mistyped.data()), DecodingError) << key;
  }
  EXPECT_THROW(Credentials::decode("[]"), DecodingError);
}

TEST_F(CredentialStoreTest, LoadWithoutItemIsAbsentAndRequireAsksForEnrolment) {
  EXPECT_FALSE(CredentialStore::load(store()).has_value());
  EXPECT_EQ(failureOf<VEKError>([&] { CredentialStore::require(store()); }),
            "This Mac is not enrolled. Use group create or group join first.");
}

TEST_F(CredentialStoreTest, SaveThenLoadRoundTripsWithPrivatePermissions) {
  CredentialStore::save(sample(), store());
  EXPECT_EQ(CredentialStore::load(store()), sample());
  struct stat info {};
  ASSERT_EQ(::stat(itemPath().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(itemPath().parent_path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  SecretItem item;
  ASSERT_EQ(store().inspect(CredentialStore::service, CredentialStore::account, item), 0);
  EXPECT_EQ(item.accessibility, "afterFirstUnlockThisDeviceOnly");
}

TEST_F(CredentialStoreTest, SecondSaveUpdatesInPlaceKeepingTheAccessList) {
  setProgramPath("/Applications/VEK.app/Contents/MacOS/VEK");
  CredentialStore::save(sample(), store());
  setProgramPath("/usr/local/bin/vek");
  Credentials changed = sample();
  changed.groupName = "Renamed";
  CredentialStore::save(changed, store());
  setProgramPath("");
  EXPECT_EQ(CredentialStore::load(store())->groupName, "Renamed");
  EXPECT_EQ(
      std::distance(fs::directory_iterator(itemPath().parent_path()), fs::directory_iterator()), 1);
  SecretItem item;
  ASSERT_EQ(store().inspect(CredentialStore::service, CredentialStore::account, item), 0);
  ASSERT_TRUE(item.access.has_value());
  EXPECT_EQ(item.access->name, "VEK private group");
  EXPECT_EQ(item.access->trustedApplications,
            (std::vector<std::string>{"/Applications/VEK.app/Contents/MacOS/vek",
                                      "/Applications/VEK.app"}));
}

TEST_F(CredentialStoreTest, AFolderOthersMayUseIsMadePrivateBeforeAnItemIsWritten) {
  const fs::path folder = itemPath().parent_path();
  fs::create_directories(folder);
  fs::permissions(folder, fs::perms(0777));
  CredentialStore::save(sample(), store());  // adds the item
  struct stat info {};
  ASSERT_EQ(::stat(folder.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  fs::permissions(folder, fs::perms(0755));
  CredentialStore::save(sample(), store());  // updates it
  ASSERT_EQ(::stat(folder.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
}

// The store and the state directory find the user's data directory alike, so the credentials
// never land relative to wherever a command happened to run.
TEST(UserDataDirectory, FollowsTheRulesOfTheStateDirectory) {
  vek::testing::TempDir home;
  vek::testing::ScopedEnvironment state("VEK_STATE_DIR", nullptr);
  vek::testing::ScopedEnvironment homeVariable("HOME", home.path().c_str());
  for (const char* relative : {"data", "./data", ""}) {
    vek::testing::ScopedEnvironment data("XDG_DATA_HOME", relative);
    EXPECT_EQ(userDataDirectory(), home / ".local/share") << relative;
    EXPECT_EQ(FileSecretStore::forCurrentUser().itemPath("s", "a"),
              home / ".local/share/vek-keychain/s@a.item");
    EXPECT_EQ(Paths::root(), userDataDirectory() / "VEK");
  }
  vek::testing::ScopedEnvironment data("XDG_DATA_HOME", (home / "xdg").c_str());
  EXPECT_EQ(userDataDirectory(), home / "xdg");
  EXPECT_EQ(Paths::root(), home / "xdg/VEK");
}

TEST_F(CredentialStoreTest, SaveNewAddsOnlyWhereNoItemExistsEvenWhenSavesRace) {
  constexpr int count = 8;
  std::atomic<int> added = 0;
  std::vector<std::thread> savers;
  for (int i = 0; i < count; ++i) {
    savers.emplace_back([&, i] {
      Credentials mine = sample();
      mine.groupID = "group-" + std::to_string(i);
      FileSecretStore own(folder_ / "vek-keychain");
      if (CredentialStore::saveNew(mine, own)) ++added;
    });
  }
  for (auto& saver : savers)
    saver.join();
  EXPECT_EQ(added, 1);
  const Credentials kept = *CredentialStore::load(store());
  EXPECT_FALSE(CredentialStore::saveNew(sample(), store()));
  EXPECT_EQ(CredentialStore::load(store()), kept);
  EXPECT_EQ(
      std::distance(fs::directory_iterator(folder_ / "vek-keychain"), fs::directory_iterator()), 1);
}

TEST(CredentialAccessList, OnlyForProgramsInsideAnAppBundle) {
  EXPECT_FALSE(CredentialStore::accessListFor("/usr/local/bin/vek").has_value());
  EXPECT_FALSE(CredentialStore::accessListFor("/x/MacOS/vek").has_value());
  EXPECT_FALSE(CredentialStore::accessListFor("").has_value());
  auto access = CredentialStore::accessListFor("/A/B.app/Contents/MacOS/../MacOS/tool");
  ASSERT_TRUE(access.has_value());
  EXPECT_EQ(access->trustedApplications[1], "/A/B.app");
}

TEST_F(CredentialStoreTest, CorruptItemIsReportedAndLeftUntouched) {
  CredentialStore::save(sample(), store());
  { std::ofstream(itemPath()) << "not json"; }
  EXPECT_EQ(failureOf<VEKError>([&] { CredentialStore::load(store()); }),
            "Cannot read VEK credentials from Keychain (-26275). Unlock your login keychain.");
  std::ifstream in(itemPath());
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(content, "not json");
}

TEST_F(CredentialStoreTest, StoredDataThatIsNotARecordFailsWithTheDecoderError) {
  SecretItem item{CredentialStore::service, CredentialStore::account, "{\"server\":\"x\"}",
                  CredentialStore::accessibility, std::nullopt};
  ASSERT_EQ(store().add(item), 0);
  EXPECT_THROW(CredentialStore::load(store()), DecodingError);
  // Data that is not JSON at all is named as the stored credentials, not as some "data".
  ASSERT_EQ(store().update(CredentialStore::service, CredentialStore::account, "{damaged"), 0);
  EXPECT_TRUE(failureOf<DecodingError>([&] {
                CredentialStore::load(store());
              }).starts_with("The stored VEK credentials are not valid JSON: parse error at "))
      << failureOf([&] { CredentialStore::load(store()); });
}

TEST_F(CredentialStoreTest, UnreadableFolderIsAReadFailureWithItsCode) {
  // A regular file where the folder should be: every lookup fails with an I/O code, not "absent".
  fs::create_directories(folder_);
  { std::ofstream(folder_ / "vek-keychain") << "x"; }
  EXPECT_EQ(failureOf<VEKError>([&] { CredentialStore::load(store()); }),
            "Cannot read VEK credentials from Keychain (-36). Unlock your login keychain.");
  EXPECT_EQ(failureOf<VEKError>([&] { CredentialStore::save(sample(), store()); }),
            "Cannot update VEK credentials (-36).");
}

TEST_F(CredentialStoreTest, ConcurrentReadersNeverSeeAHalfWrittenItem) {
  CredentialStore::save(sample(), store());
  std::atomic<bool> stop{false};
  std::atomic<int> failures{0};
  std::thread reader([&] {
    FileSecretStore own(folder_ / "vek-keychain");
    while (!stop) {
      try {
        if (!CredentialStore::load(own)) ++failures;
      } catch (...) {
        ++failures;
      }
    }
  });
  Credentials changing = sample();
  for (int i = 0; i < 300; ++i) {
    changing.token = std::string(static_cast<std::size_t>(i % 7) * 1000, 'x');
    CredentialStore::save(changing, store());
  }
  stop = true;
  reader.join();
  EXPECT_EQ(failures, 0);
}

}  // namespace
}  // namespace vek
