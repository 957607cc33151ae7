#include "deployment_fixture.h"

#include <cctype>

#include "foundation/errors.h"
#include "relay_client/relay_url.h"

namespace vek::testing {

namespace fs = std::filesystem;

AsMac::AsMac(const Mac& mac)
    : home_(mac.home().string()),
      state_(mac.stateDirectory().string()),
      tools_(mac.toolRoot().string()),
      temporary_((mac.home() / "tmp").string()),
      homeVariable_("HOME", home_.c_str()),
      stateVariable_("VEK_STATE_DIR", state_.c_str()),
      toolsVariable_("VEK_TOOL_ROOT", tools_.c_str()),
      temporaryVariable_("TMPDIR", temporary_.c_str()),
      xdg_("XDG_DATA_HOME", nullptr) {}

void DeploymentTest::SetUp() {
  relay_.start();
  writeText(builder_.home() / "bootstrap", relay_.bootstrapToken());
  builder_.ok({"group", "create", "--server", relay_.origin(), "--bootstrap-file",
               (builder_.home() / "bootstrap").string(), "--device-name", "Builder"});
  writeText(receiver_.home() / "invite", builder_.ok({"group", "invite"})["invite"].text());
  receiver_.ok({"group", "join", "--invite-file", (receiver_.home() / "invite").string(),
                "--device-name", "Receiver"});
  builderCredentials_ = *builder_.credentials();
  receiverCredentials_ = *receiver_.credentials();

  vekSim({"device", "add", receiver_.toolRoot().string(), "--udid", phoneUDID, "--name",
          "Test iPhone", "--os", "17.5"});
  vekSim({"team", "register-device", builder_.toolRoot().string(), phoneUDID});
  // What the receiver's agent would report, so that the relay accepts jobs for the phone.
  const JSON phones = receiver_.ok({"devices", "--local"});
  API(receiverCredentials_)
      .call("POST", "/v1/heartbeat",
            JSON::object(
                {{"inventory", JSON::object({{"phones", phones}, {"projects", JSON::array()}})},
                 {"leases", JSON::array()}}));
}

std::string DeploymentTest::registerProject(const std::string& name,
                                            const std::vector<std::string>& options) {
  std::string lower = name;
  for (char& c : lower)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const fs::path path = builder_.home() / "src" / (name + ".xcodeproj");
  std::vector<std::string> arguments{"project", "new", path.string(), "--bundle-id",
                                     "com.example." + lower};
  arguments.insert(arguments.end(), options.begin(), options.end());
  vekSim(arguments);
  return builder_.ok({"projects", "add", path.string()})["id"].text();
}

std::string DeploymentTest::queue(const std::string& project, const std::string& mode,
                                  const std::string& scheme, const std::string& configuration) {
  return API(builderCredentials_)
      .call("POST", "/v1/jobs",
            JSON::object({{"builder_id", builderCredentials_.deviceID},
                          {"receiver_id", receiverCredentials_.deviceID},
                          {"project_id", project},
                          {"scheme", scheme},
                          {"configuration", configuration},
                          {"mode", mode},
                          {"udid", phoneUDID}}))["id"]
      .text();
}

Claimed DeploymentTest::claim(const Mac& mac) const {
  const JSON answer = API(*mac.credentials()).call("POST", "/v1/claim", JSON::object());
  EXPECT_TRUE(answer["job"].isObject()) << answer.data();
  return {answer["job"], answer["lease"].text()};
}

namespace {

std::string runStage(const Mac& mac, const Credentials& credentials, const Claimed& claimed,
                     std::vector<std::string>& events, const BuildPipeline::ProgressCallback& also,
                     void (*stage)(const JSON&, std::string_view, const Credentials&, const API&,
                                   const BuildPipeline::ProgressCallback&)) {
  const API api(credentials);
  std::string failure = "(no failure)";
  {
    AsMac as(mac);
    try {
      stage(claimed.job, claimed.lease, credentials, api, [&](const std::string& message) {
        events.push_back(message);
        if (also) also(message);
      });
    } catch (const std::exception& error) {
      failure = error.what();
    }
  }
  if (failure != "(no failure)") {
    try {
      api.call("POST", "/v1/jobs/" + pathSegment(claimed.id()) + "/fail",
               JSON::object({{"error", failure}}), claimed.lease);
    } catch (const VEKError&) {
      // A job that already ended (cancelled) takes no failure report.
    }
  }
  return failure;
}

}  // namespace

std::string DeploymentTest::build(const Claimed& claimed,
                                  const BuildPipeline::ProgressCallback& also) {
  return runStage(builder_, builderCredentials_, claimed, builderEvents_, also,
                  &BuildPipeline::build);
}

std::string DeploymentTest::install(const Claimed& claimed,
                                    const BuildPipeline::ProgressCallback& also) {
  return runStage(receiver_, receiverCredentials_, claimed, receiverEvents_, also,
                  &BuildPipeline::install);
}

std::string DeploymentTest::installThrough(const std::string& origin, const Claimed& claimed) {
  Credentials elsewhere = receiverCredentials_;
  elsewhere.server = origin;
  return runStage(receiver_, elsewhere, claimed, receiverEvents_, {}, &BuildPipeline::install);
}

JSON DeploymentTest::job(const std::string& id) const {
  return API(builderCredentials_).call("GET", "/v1/jobs/" + pathSegment(id));
}

void DeploymentTest::cancel(const std::string& id) const {
  API(builderCredentials_).call("POST", "/v1/jobs/" + pathSegment(id) + "/cancel", JSON::object());
}

std::set<std::string> DeploymentTest::entries(const fs::path& directory) {
  std::set<std::string> names;
  std::error_code missing;
  for (fs::directory_iterator it(directory, missing), end; !missing && it != end; ++it) {
    names.insert(it->path().filename().string());
  }
  return names;
}

JSON DeploymentTest::phone() const {
  return JSON::decode(vekSim({"device", "show", receiver_.toolRoot().string(), phoneUDID}));
}

}  // namespace vek::testing
