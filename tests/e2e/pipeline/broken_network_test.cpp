// A large build over a network that breaks every 64 MiB, in both directions: each transfer
// continues where it broke off instead of starting over, so little more than the build itself
// crosses the wire, and the app is installed and launched. Hundreds of MiB through every stage:
// optimised builds only.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <stop_token>
#include <thread>

#include "cutting_proxy.h"
#include "deployment_fixture.h"

namespace vek::testing {
namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t cutEvery = 64 << 20;

// Renews a claimed job's lease every 5 seconds, as the Mac's agent would, while a stage that may
// take longer than a lease runs.
class LeaseKeeper {
 public:
  LeaseKeeper(const Credentials& credentials, const Claimed& claimed)
      : thread_([credentials, claimed](std::stop_token stop) {
          std::mutex mutex;
          std::condition_variable_any wake;
          const JSON body = JSON::object(
              {{"inventory", JSON::object()},
               {"leases",
                JSON::array({JSON::object({{"id", claimed.id()}, {"token", claimed.lease}})})}});
          std::unique_lock lock(mutex);
          while (!stop.stop_requested()) {
            try {
              API(credentials).call("POST", "/v1/heartbeat", body);
            } catch (const std::exception&) {
              // The next beat comes well before the lease runs out.
            }
            wake.wait_for(lock, stop, std::chrono::seconds(5), [] { return false; });
          }
        }) {}

 private:
  std::jthread thread_;
};

// Every event after `stage` is one of its progress lines.
void expectProgressLinesAfter(const std::vector<std::string>& events, std::string_view stage) {
  auto found = std::find(events.begin(), events.end(), std::string(stage));
  ASSERT_NE(found, events.end());
  for (++found; found != events.end() && found->starts_with(stage); ++found) {
    EXPECT_TRUE(found->starts_with(std::string(stage) + " \u00b7 ") && found->ends_with(" MB"))
        << *found;
  }
}

TEST_F(DeploymentTest, ALargeBuildGetsThroughAConnectionThatKeepsBreaking) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "hundreds of MiB: optimised builds only";
#endif
  CuttingProxy proxy(relay_.port(), cutEvery);
  builderCredentials_.server = proxy.origin();
  receiverCredentials_.server = proxy.origin();
  const std::string id = queue(registerProject("Demo", {"--pad-bytes", "512M"}), "debug");

  const Claimed building = claim(builder_);
  {
    LeaseKeeper keeper(*builder_.credentials(), building);
    ASSERT_EQ(build(building), "(no failure)");
  }
  std::uint64_t size = 0;
  for (const fs::directory_entry& entry :
       fs::directory_iterator(relay_.dataDirectory() / "artifacts")) {
    size += entry.file_size();
  }
  ASSERT_GT(size, 512u << 20);
  EXPECT_GE(proxy.cuts(), 7u);
  EXPECT_LE(proxy.upstream(), size + size / 20);
  expectProgressLinesAfter(builderEvents_, BuildPipeline::uploadingMessage);

  const std::uint64_t cutsBefore = proxy.cuts();
  const std::uint64_t downstreamBefore = proxy.downstream();
  const Claimed installing = claim(receiver_);
  {
    LeaseKeeper keeper(*receiver_.credentials(), installing);
    ASSERT_EQ(install(installing), "(no failure)");
  }
  EXPECT_GE(proxy.cuts() - cutsBefore, 7u);
  EXPECT_LE(proxy.downstream() - downstreamBefore, size + size / 20);
  expectProgressLinesAfter(receiverEvents_, BuildPipeline::downloadingMessage);
  EXPECT_EQ(job(id)["state"], JSON("succeeded"));
  EXPECT_EQ(entries(receiverJob(id) / "Receive"), std::set<std::string>{"install.log"});
  EXPECT_EQ(phone()["launched"].items().size(), 1u) << phone().pretty();
}

}  // namespace
}  // namespace vek::testing
