// A group of two simulated Macs on a real relay, ready to deploy: the builder has the team that
// provisions the receiver's iPhone, the receiver has reported that iPhone, and both hold their
// credentials. Jobs are queued and claimed through the relay as an agent would, and the two stages
// run in this process with the environment (home, state directory, tool root, temporary directory)
// of the Mac they belong to.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "foundation/credentials.h"
#include "foundation/json.h"
#include "mac.h"
#include "pipeline/deployment.h"
#include "relay_client/api.h"
#include "relay_process.h"
#include "test_support.h"

namespace vek::testing {

inline constexpr const char* phoneUDID = "00008110-0000000000000001";

/// A job as a Mac holds it after a claim.
struct Claimed {
  JSON job;
  std::string lease;
  std::string id() const { return job["id"].text(); }
};

/// Makes the process look like one Mac for as long as it lives.
class AsMac {
 public:
  explicit AsMac(const Mac& mac);

 private:
  std::string home_, state_, tools_, temporary_;
  ScopedEnvironment homeVariable_, stateVariable_, toolsVariable_, temporaryVariable_, xdg_;
};

class DeploymentTest : public ::testing::Test {
 protected:
  void SetUp() override;

  /// Makes and registers a project on the builder; returns its id.
  std::string registerProject(const std::string& name,
                              const std::vector<std::string>& options = {});
  /// Queues a deployment of `project` to the receiver's phone.
  std::string queue(const std::string& project, const std::string& mode,
                    const std::string& scheme = "Demo",
                    const std::string& configuration = "Release");
  /// The job the relay hands `mac` now, with its lease; fails the test when there is none.
  Claimed claim(const Mac& mac) const;
  /// Runs a stage as its Mac; returns "(no failure)" or the message it failed with. A failure is
  /// reported to the relay as an agent would, so the job leaves the queue.
  std::string build(const Claimed& claimed, const BuildPipeline::ProgressCallback& also = {});
  std::string install(const Claimed& claimed, const BuildPipeline::ProgressCallback& also = {});
  /// The receiver's stage, talking to the relay at `origin` instead of its own.
  std::string installThrough(const std::string& origin, const Claimed& claimed);
  /// The job as the relay has it now.
  JSON job(const std::string& id) const;
  void cancel(const std::string& id) const;

  /// Names directly inside `directory` (none when it does not exist).
  static std::set<std::string> entries(const std::filesystem::path& directory);
  std::filesystem::path builderJob(const std::string& id) const {
    return builder_.stateDirectory() / "Jobs" / id;
  }
  std::filesystem::path receiverJob(const std::string& id) const {
    return receiver_.stateDirectory() / "Jobs" / id;
  }
  /// `vek-sim device show` for the receiver's phone.
  JSON phone() const;

  RelayProcess relay_;
  Mac builder_{Mac::Tools::simulated};
  Mac receiver_{Mac::Tools::simulated};
  Credentials builderCredentials_, receiverCredentials_;
  std::vector<std::string> builderEvents_, receiverEvents_;
};

}  // namespace vek::testing
