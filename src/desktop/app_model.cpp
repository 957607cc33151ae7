#include "desktop/app_model.h"

#include <unistd.h>

#include <algorithm>
#include <exception>
#include <utility>

#include "agent/agent_service.h"
#include "foundation/constants.h"
#include "foundation/errors.h"
#include "foundation/paths.h"
#include "projects/project_store.h"
#include "relay_client/api.h"
#include "relay_client/enrollment.h"
#include "relay_client/relay_url.h"

namespace vek::desktop {

namespace {

std::string describe(std::exception_ptr failure) {
  try {
    std::rethrow_exception(std::move(failure));
  } catch (const std::exception& error) {
    return error.what();
  } catch (...) {
    return "An unknown error occurred.";
  }
}

JSON findByID(const std::vector<JSON>& records, const std::string& id) {
  for (const JSON& record : records) {
    if (record["id"].text() == id) return record;
  }
  return nullptr;
}

std::vector<std::string> stringsOf(const JSON& list) {
  std::vector<std::string> values;
  for (const JSON& item : list.items()) {
    if (item.isString()) values.push_back(item.text());
  }
  return values;
}

bool contains(const std::vector<std::string>& values, const std::string& value) {
  return std::find(values.begin(), values.end(), value) != values.end();
}

// The largest event id of a timeline; 0 when it is empty.
std::int64_t lastEventID(const std::vector<JSON>& events) {
  std::int64_t last = 0;
  for (const JSON& event : events)
    last = std::max(last, event["id"].integer());
  return last;
}

std::string preferredConfiguration(const std::string& mode) {
  return mode == "adhoc" ? "Release" : "Debug";
}

}  // namespace

std::filesystem::path cliPathFor(const std::filesystem::path& programPath) {
  std::filesystem::path directory = programPath.parent_path();
  if (directory.filename() == "MacOS" && directory.parent_path().filename() == "Contents") {
    std::filesystem::path bundle = directory.parent_path().parent_path();
    std::filesystem::path inBundle = bundle / "Contents" / "MacOS" / "vek";
    std::error_code error;
    if (std::filesystem::is_regular_file(inBundle, error) &&
        ::access(inBundle.c_str(), X_OK) == 0) {
      return inBundle;
    }
  }
  return directory / "vek";
}

AppModel::AppModel(UiThread& ui, Platform platform)
    : platform_(std::move(platform)), agent_(nullptr), timeline_(ui), workers_(ui) {
  workers_.start([this] {
    std::optional<Credentials> loaded;
    std::optional<std::string> failure;
    try {
      loaded = CredentialStore::load();
    } catch (const CancellationError&) {
      throw;
    } catch (...) {
      failure = describe(std::current_exception());
    }
    onUi([&] {
      credentialsLoaded_ = true;
      if (failure) error_ = failure;
      // Enrolment may have finished while the store was read; it is the newer truth.
      if (!credentials_) credentials_ = loaded;
    });
    if (loaded) refreshBody();
  });
}

void AppModel::subscribe(std::function<void()> observer) {
  observers_.push_back(std::move(observer));
}

void AppModel::changed() {
  for (const auto& observer : observers_)
    observer();
}

void AppModel::onUi(const std::function<void()>& function) {
  workers_.onUiThread([&] {
    function();
    changed();
  });
}

// Derived values.

std::vector<JSON> AppModel::devices() const {
  std::vector<JSON> members;
  for (const JSON& device : group_["devices"].items()) {
    if (device["revoked"].integer() == 0) members.push_back(device);
  }
  return members;
}

std::vector<JSON> AppModel::builders() const {
  std::vector<JSON> result;
  for (const JSON& device : devices()) {
    if (!device["inventory"]["projects"].items().empty()) result.push_back(device);
  }
  return result;
}

JSON AppModel::selectedBuilder() const {
  return findByID(devices(), builder_);
}

JSON AppModel::receiverRecord() const {
  return findByID(devices(), receiver_);
}

JSON AppModel::selectedProject() const {
  return findByID(selectedBuilder()["inventory"]["projects"].items(), project_);
}

bool AppModel::canDeploy() const {
  if (!connected_ || busy_) return false;
  if (project_.empty() || scheme_.empty() || configuration_.empty()) return false;
  if (!selectedBuilder()["online"].flag()) return false;
  JSON receiver = receiverRecord();
  if (!receiver["online"].flag()) return false;
  for (const JSON& phone : receiver["inventory"]["phones"].items()) {
    if (phone["udid"].text() == phone_ && phone["available"].flag()) return true;
  }
  return false;
}

std::filesystem::path AppModel::cliPath() const {
  return cliPathFor(platform_.programPath);
}

// Selection.

void AppModel::normalizeProject() {
  JSON builder = selectedBuilder();
  const JSON::Array& projects = builder["inventory"]["projects"].items();
  if (findByID(projects, project_).isNull()) {
    project_ = projects.empty() ? std::string() : projects.front()["id"].text();
  }
  JSON chosen = selectedProject();
  std::vector<std::string> schemes = stringsOf(chosen["schemes"]);
  if (!contains(schemes, scheme_)) scheme_ = schemes.empty() ? std::string() : schemes.front();
  std::vector<std::string> configurations = stringsOf(chosen["configurations"]);
  if (!contains(configurations, configuration_)) {
    // Picked anew (another project, or projects back after a spell without): the mode's own
    // configuration, so Ad Hoc does not come back with Debug.
    std::string preferred = preferredConfiguration(mode_);
    if (contains(configurations, preferred)) {
      configuration_ = preferred;
    } else {
      configuration_ = configurations.empty() ? std::string() : configurations.front();
    }
  }
}

void AppModel::normalizePhone() {
  JSON receiver = receiverRecord();
  const JSON::Array& phones = receiver["inventory"]["phones"].items();
  for (const JSON& phone : phones) {
    if (phone["udid"].text() == phone_ && phone["available"].flag()) return;
  }
  phone_.clear();
  for (const JSON& phone : phones) {
    if (phone["available"].flag()) {
      phone_ = phone["udid"].text();
      return;
    }
  }
}

void AppModel::setBuilder(const std::string& id) {
  if (id != builder_) {
    builder_ = id;
    project_.clear();
  }
  normalizeProject();
  changed();
}

void AppModel::setProject(const std::string& id) {
  project_ = id;
  normalizeProject();
  changed();
}

void AppModel::setScheme(const std::string& scheme) {
  scheme_ = scheme;
  changed();
}

void AppModel::setConfiguration(const std::string& configuration) {
  configuration_ = configuration;
  changed();
}

void AppModel::setReceiver(const std::string& id) {
  if (id != receiver_) {
    receiver_ = id;
    phone_.clear();
  }
  normalizePhone();
  changed();
}

void AppModel::setPhone(const std::string& udid) {
  phone_ = udid;
  changed();
}

void AppModel::setMode(const std::string& mode) {
  mode_ = mode;
  std::string preferred = preferredConfiguration(mode);
  if (contains(stringsOf(selectedProject()["configurations"]), preferred)) {
    configuration_ = preferred;
  }
  changed();
}

void AppModel::selectJob(const std::string& id) {
  if (selectedJob_ != id) events_.clear();
  selectedJob_ = id;
  followTimeline();
  changed();
}

void AppModel::followTimeline() {
  if (!selectedJob_ || selectedJob_->empty() || followedJob_ == selectedJob_ || !credentials_ ||
      !relayHoldsReads_) {
    return;
  }
  if (VEK::isTerminal(findByID(jobs_, *selectedJob_)["state"].text())) return;
  followedJob_ = selectedJob_;
  timeline_.start(
      [this, id = *selectedJob_, credentials = *credentials_] { followBody(id, credentials); });
}

void AppModel::followBody(const std::string& id, const Credentials& credentials) {
  auto onUi = [this](const std::function<void()>& function) {
    timeline_.onUiThread([&] {
      function();
      changed();
    });
  };
  try {
    API api(credentials);
    const std::string path = "/v1/jobs/" + pathSegment(id);
    for (;;) {
      bool selected = false;
      std::int64_t cursor = 0;
      timeline_.onUiThread([&] {
        selected = selectedJob_ == id;
        cursor = lastEventID(events_);
      });
      if (!selected) break;
      JSON answer = api.call("GET", path + "/events?after=" + std::to_string(cursor) + "&" +
                                        API::waitQuery(API::longestWait));
      if (!answer["wait"].isNumber()) {
        onUi([&] { relayHoldsReads_ = false; });
        break;
      }
      const JSON::Array& events = answer["events"].items();
      // A held read that brings nothing either ran out or saw the job change state.
      if (events.empty()) {
        if (VEK::isTerminal(api.call("GET", path)["state"].text())) break;
        continue;
      }
      onUi([&] {
        if (selectedJob_ != id) return;
        std::int64_t last = lastEventID(events_);
        for (const JSON& event : events) {
          if (event["id"].integer() > last) events_.push_back(event);
        }
      });
    }
  } catch (const CancellationError&) {
    throw;
  } catch (...) {
    // A failing relay is the refresh's to report; it also starts following again.
  }
  timeline_.onUiThread([&] {
    if (followedJob_ == id) followedJob_.reset();
  });
}

void AppModel::dismissError() {
  error_.reset();
  changed();
}

void AppModel::dismissNotice() {
  notice_.reset();
  changed();
}

// Refresh.

void AppModel::refresh(std::function<void()> done) {
  workers_.start([this, done = std::move(done)] {
    refreshBody();
    if (done) workers_.onUiThread(done);
  });
}

void AppModel::refreshBody() {
  JSON agent = AgentService::status();
  std::vector<Project> projects;
  try {
    projects = ProjectStore::load();
  } catch (const CancellationError&) {
    throw;
  } catch (...) {
    // An unreadable registry shows as no projects; the command line reports why.
  }
  std::optional<Credentials> credentials;
  onUi([&] {
    agent_ = std::move(agent);
    localProjects_ = std::move(projects);
    credentials = credentials_;
  });
  if (!credentials) return;

  try {
    API api(*credentials);
    JSON jobs;
    task::Task jobsRequest([&] { jobs = api.call("GET", "/v1/jobs"); });
    JSON group;
    std::exception_ptr groupFailure;
    try {
      group = api.call("GET", "/v1/group");
    } catch (...) {
      groupFailure = std::current_exception();
    }
    jobsRequest.join();
    if (groupFailure) std::rethrow_exception(groupFailure);

    std::optional<std::string> selectedJob;
    onUi([&] {
      group_ = std::move(group);
      jobs_ = jobs["jobs"].items();
      connected_ = true;
      if (builder_.empty()) {
        std::vector<JSON> candidates = builders();
        JSON own = findByID(candidates, credentials->deviceID);
        if (!own.isNull()) {
          builder_ = own["id"].text();
        } else {
          builder_ = candidates.empty() ? std::string() : candidates.front()["id"].text();
        }
      }
      if (receiver_.empty()) receiver_ = credentials->deviceID;
      normalizeProject();
      normalizePhone();
      selectedJob = selectedJob_;
    });
    if (!selectedJob) return;
    JSON answer = api.call("GET", "/v1/jobs/" + *selectedJob + "/events");
    onUi([&] {
      // The user may have followed another job meanwhile; those events are not this job's.
      if (selectedJob_ != selectedJob) return;
      // Events the timeline's follower added since this answer was read stay.
      std::vector<JSON> events = answer["events"].items();
      std::int64_t last = lastEventID(events);
      for (const JSON& event : events_) {
        if (event["id"].integer() > last) events.push_back(event);
      }
      events_ = std::move(events);
      followTimeline();
    });
  } catch (const CancellationError&) {
    throw;
  } catch (...) {
    std::string message = describe(std::current_exception());
    onUi([&] {
      connected_ = false;
      fail(message);
    });
  }
}

void AppModel::fail(const std::string& message) {
  error_ = message;
  if (!credentials_ || !API::namesRevokedCredential(message)) return;
  // No longer a member: what the relay told this Mac belongs to a group it has left.
  credentials_.reset();
  group_ = nullptr;
  jobs_.clear();
  events_.clear();
  selectedJob_.reset();
  builder_.clear();
  project_.clear();
  scheme_.clear();
  receiver_.clear();
  phone_.clear();
}

// Actions.

void AppModel::perform(Action action) {
  if (busy_) return;
  busy_ = true;
  error_.reset();
  notice_.reset();
  changed();
  workers_.start([this, action = std::move(action)] {
    try {
      action(*this);
    } catch (const CancellationError&) {
      throw;
    } catch (...) {
      std::string message = describe(std::current_exception());
      onUi([&] {
        fail(message);
        busy_ = false;
      });
      return;
    }
    refreshBody();
    onUi([&] { busy_ = false; });
  });
}

void AppModel::deploy() {
  perform([](AppModel& model) {
    std::optional<Credentials> credentials;
    JSON body;
    model.onUi([&] {
      credentials = model.credentials_;
      body = JSON::object({{"builder_id", model.builder_},
                           {"receiver_id", model.receiver_},
                           {"project_id", model.project_},
                           {"scheme", model.scheme_},
                           {"configuration", model.configuration_},
                           {"mode", model.mode_},
                           {"udid", model.phone_}});
    });
    if (!credentials) return;
    JSON answer = API(*credentials).call("POST", "/v1/jobs", body);
    model.onUi([&] {
      model.selectedJob_ = answer["id"].text();
      model.events_.clear();
      model.followTimeline();
      model.notice_ = "Deployment queued. Both Macs will report progress here.";
    });
  });
}

void AppModel::cancel(const std::string& jobID) {
  perform([jobID](AppModel& model) {
    std::optional<Credentials> credentials;
    model.onUi([&] { credentials = model.credentials_; });
    if (!credentials) return;
    API(*credentials).call("POST", "/v1/jobs/" + jobID + "/cancel", JSON::object());
  });
}

void AppModel::revoke(const std::string& deviceID) {
  perform([deviceID](AppModel& model) {
    std::optional<Credentials> credentials;
    model.onUi([&] { credentials = model.credentials_; });
    if (!credentials) return;
    API(*credentials).call("DELETE", "/v1/devices/" + deviceID);
  });
}

void AppModel::addProject() {
  if (busy_ || !platform_.chooseProject) return;
  std::optional<std::string> path = platform_.chooseProject();
  if (!path || path->empty()) return;
  perform([path = *path](AppModel& model) {
    Project project = ProjectStore::inspect(path, std::nullopt, std::nullopt, std::nullopt, true);
    ProjectStore::upsert(project);
    model.onUi([&] {
      model.notice_ = project.name + " registered. It will appear in your group shortly.";
    });
  });
}

void AppModel::refreshProject(const Project& project) {
  perform([project](AppModel&) {
    ProjectStore::upsert(ProjectStore::inspect(project.path, project.name, project.teamID,
                                               project.exportOptionsPath,
                                               project.automaticSigning));
  });
}

void AppModel::removeProject(const std::string& id) {
  perform([id](AppModel&) { ProjectStore::remove(id); });
}

void AppModel::startAgent() {
  perform([executable = cliPath()](AppModel& model) {
    AgentService::install(executable);
    model.onUi([&] { model.notice_ = "Agent started. It will also run when you log in."; });
  });
}

void AppModel::stopAgent() {
  perform([](AppModel&) { AgentService::uninstall(); });
}

void AppModel::makeInvite() {
  perform([](AppModel& model) {
    std::optional<Credentials> credentials;
    model.onUi([&] { credentials = model.credentials_; });
    if (!credentials) return;
    std::string invite = Enrollment::invite(*credentials);
    model.onUi([&] {
      if (model.platform_.copyToClipboard) model.platform_.copyToClipboard(invite);
      model.notice_ = "Invite copied. It expires in 15 minutes and can be used once.";
    });
  });
}

void AppModel::createGroup(std::string server, std::string groupName, std::string device,
                           std::string bootstrap, std::function<void()> enrolled) {
  enroll([server = std::move(server), groupName = std::move(groupName), device,
          bootstrap = std::move(
              bootstrap)] { return Enrollment::create(server, groupName, device, bootstrap); },
         std::move(enrolled));
}

void AppModel::joinGroup(std::string invite, std::string device, std::function<void()> enrolled) {
  enroll([invite = std::move(invite),
          device = std::move(device)] { return Enrollment::join(invite, device); },
         std::move(enrolled));
}

void AppModel::enroll(std::function<Credentials()> obtain, std::function<void()> enrolled) {
  perform([obtain = std::move(obtain), enrolled = std::move(enrolled),
           executable = cliPath()](AppModel& model) {
    Credentials credentials = obtain();
    model.onUi([&] {
      model.credentials_ = credentials;
      if (enrolled) enrolled();
    });
    AgentService::install(executable);
    model.onUi([&] {
      model.notice_ =
          "This Mac joined " + credentials.groupName + ". Add a project or connect your iPhone.";
    });
  });
}

void AppModel::openStateFolder(const std::string& name) {
  workers_.start([this, name] {
    std::filesystem::path folder;
    try {
      folder = Paths::directory(name);
    } catch (const CancellationError&) {
      throw;
    } catch (...) {
      return;
    }
    onUi([&] {
      if (platform_.openFolder && platform_.openFolder(folder)) return;
      error_ = "Cannot open " + folder.string() + " in a file browser.";
    });
  });
}

}  // namespace vek::desktop
