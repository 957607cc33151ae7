// AppModel: all the desktop app's state and every action it offers, without a widget in sight.
//
// The model holds this Mac's credentials, the relay's view of the group and its jobs, the local
// project registry, the agent's status and the deployment selection (builder Mac, project,
// scheme, configuration, receiving Mac, phone, mode). A refresh reloads all of it; the selection
// is kept consistent with what the group offers; the user's actions run one at a time through
// `perform`, whose outcome lands in the two message slots `error` and `notice`.
//
// Threads: every field belongs to the UI thread (see ui_thread.h). Public members are called
// there, and the getters read there. Relay requests, tool runs, the registry and the secret store
// are used from workers; their results are applied on the UI thread, after which every
// subscriber is told that the model changed. A slow or unreachable relay therefore never holds
// up the window.
//
// Relay records are read through the JSON accessors that never fail, so a missing or malformed
// member reads as empty text, zero or false and never stops the model.
//
// The selected job's timeline moves live: besides the refresh, a worker of its own follows the
// job with held event reads (the relay answers each as soon as the job posts or changes state)
// and appends what arrives, until the job ends or another is selected. A relay that does not hold
// reads answers at once without naming a wait; the model then leaves the timeline to the refresh.
//
// Once the relay refuses this Mac's credential as revoked (a refresh or an action meets the
// relay's "revoked device credential" text), the model lets go of the credentials and of
// everything it learnt through them: the window shows the enrolment screen with the relay's
// message, and refreshes stay on this Mac until it joins again. The stored credentials are left
// to enrolment, which replaces them.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "desktop/ui_thread.h"
#include "foundation/credentials.h"
#include "foundation/json.h"
#include "projects/project.h"

namespace vek::desktop {

/// What the model needs from the desktop it runs on; each seam is replaceable by tests.
struct Platform {
  /// Shows the file panel for a project or workspace; absent when the user cancels.
  std::function<std::optional<std::string>()> chooseProject;
  /// Replaces the clipboard's content with this plain text.
  std::function<void(const std::string&)> copyToClipboard;
  /// Opens a folder in the desktop's file browser; false when nothing could open it.
  std::function<bool(const std::filesystem::path&)> openFolder;
  /// The running program's own file (not argv[0], which may be a bare name found on PATH).
  std::filesystem::path programPath;
};

class AppModel {
 public:
  /// A fresh model on `ui`; the credentials are loaded from the secret store on a worker. A load
  /// failure leaves them absent and puts its text into `error`; an empty store leaves them absent.
  AppModel(UiThread& ui, Platform platform);
  /// Stops every worker of the model and waits for them.
  ~AppModel() = default;
  AppModel(const AppModel&) = delete;
  AppModel& operator=(const AppModel&) = delete;

  /// Registers a function called on the UI thread after every change of the model's fields.
  void subscribe(std::function<void()> observer);

  // Fields.
  const std::optional<Credentials>& credentials() const { return credentials_; }
  const JSON& group() const { return group_; }
  const std::vector<JSON>& jobs() const { return jobs_; }
  const std::vector<JSON>& events() const { return events_; }
  const std::vector<Project>& localProjects() const { return localProjects_; }
  const std::optional<std::string>& error() const { return error_; }
  const std::optional<std::string>& notice() const { return notice_; }
  bool busy() const { return busy_; }
  bool connected() const { return connected_; }
  const JSON& agent() const { return agent_; }
  const std::string& builder() const { return builder_; }
  const std::string& project() const { return project_; }
  const std::string& scheme() const { return scheme_; }
  const std::string& configuration() const { return configuration_; }
  const std::string& receiver() const { return receiver_; }
  const std::string& phone() const { return phone_; }
  const std::string& mode() const { return mode_; }
  const std::optional<std::string>& selectedJob() const { return selectedJob_; }
  /// True once the credentials have been read from the secret store (found or not).
  bool credentialsLoaded() const { return credentialsLoaded_; }

  // Derived values.
  /// The group's members that are not revoked.
  std::vector<JSON> devices() const;
  /// The members that publish at least one project.
  std::vector<JSON> builders() const;
  /// The member whose id is `builder`; null when none.
  JSON selectedBuilder() const;
  /// The member whose id is `receiver`; null when none.
  JSON receiverRecord() const;
  /// The builder's published project whose id is `project`; null when none.
  JSON selectedProject() const;
  /// Whether the current selection can be deployed now.
  bool canDeploy() const;
  /// The command-line tool to register as the agent (see cliPathFor).
  std::filesystem::path cliPath() const;

  // Selection. Each setter applies the corrections that keep the selection consistent: a new
  // builder clears the project and picks a valid one; a new project re-picks scheme and
  // configuration; a new receiver clears the phone and picks an available one; a new mode selects
  // its preferred configuration ("Release" for adhoc, "Debug" otherwise) when the project has it.
  // A configuration that must be picked anew is the mode's preferred one when offered, else the
  // project's first.
  void setBuilder(const std::string& id);
  void setProject(const std::string& id);
  void setScheme(const std::string& scheme);
  void setConfiguration(const std::string& configuration);
  void setReceiver(const std::string& id);
  void setPhone(const std::string& udid);
  void setMode(const std::string& mode);
  /// Follows a job: its events are fetched on every refresh from now on, and in between as they
  /// are posted when the relay holds event reads.
  void selectJob(const std::string& id);
  void dismissError();
  void dismissNotice();

  /// Makes project, scheme and configuration valid for the current builder.
  void normalizeProject();
  /// Makes phone valid for the current receiver.
  void normalizePhone();

  /// Starts a reload of agent status, registry, group, jobs and events; `done`, when given, runs
  /// on the UI thread when it has ended. Never fails: errors land in `error`.
  void refresh(std::function<void()> done = {});

  /// An action run on a worker. It reads and changes the model only inside `onUi`.
  using Action = std::function<void(AppModel& model)>;
  /// Runs `action` unless one is running already (then it is dropped): sets busy, clears both
  /// messages, runs the action, and on success refreshes before clearing busy; on failure puts
  /// the error's text into `error` and clears busy, without a refresh.
  void perform(Action action);
  /// From a worker of this model: runs `function` on the UI thread, then notifies subscribers.
  void onUi(const std::function<void()>& function);

  // Actions, all through perform.
  void deploy();
  void cancel(const std::string& jobID);
  /// Asks the platform for a project and registers it with automatic signing; nothing runs when
  /// the user cancels.
  void addProject();
  void startAgent();
  void stopAgent();
  /// Puts a new single-use invite on the clipboard; it is never kept in the model.
  void makeInvite();
  void revoke(const std::string& deviceID);
  /// Inspects a registered project anew with its own settings and registers the result.
  void refreshProject(const Project& project);
  void removeProject(const std::string& id);
  /// Creates a group on `server` (join: from the invite). On success the credentials are set,
  /// `enrolled` runs on the UI thread, the agent is installed and the notice names the group.
  void createGroup(std::string server, std::string groupName, std::string device,
                   std::string bootstrap, std::function<void()> enrolled);
  void joinGroup(std::string invite, std::string device, std::function<void()> enrolled);

  /// Opens the state directory's sub-folder `name` (created when missing) in the file browser;
  /// nothing happens when it cannot be had, and `error` says so when no file browser opened it.
  void openStateFolder(const std::string& name);

  /// For tests: how many workers are still running.
  std::size_t runningWorkers() const { return workers_.running(); }

 private:
  void changed();
  void refreshBody();
  /// Starts following the selected job's timeline, unless it is followed already, has ended, or
  /// the relay does not hold reads. UI thread.
  void followTimeline();
  void followBody(const std::string& id, const Credentials& credentials);
  /// On the UI thread: shows a failure's text; a revoked credential also ends the enrolment.
  void fail(const std::string& message);
  void enroll(std::function<Credentials()> obtain, std::function<void()> enrolled);

  Platform platform_;
  std::vector<std::function<void()>> observers_;

  std::optional<Credentials> credentials_;
  JSON group_;
  std::vector<JSON> jobs_;
  std::vector<JSON> events_;
  std::vector<Project> localProjects_;
  std::optional<std::string> error_;
  std::optional<std::string> notice_;
  bool busy_ = false;
  bool connected_ = false;
  JSON agent_;
  std::string builder_;
  std::string project_;
  std::string scheme_;
  std::string configuration_ = "Release";
  std::string receiver_;
  std::string phone_;
  std::string mode_ = "adhoc";
  std::optional<std::string> selectedJob_;
  bool credentialsLoaded_ = false;
  /// The job whose timeline is being followed, and whether the relay holds event reads (true
  /// until it has shown otherwise).
  std::optional<std::string> followedJob_;
  bool relayHoldsReads_ = true;

  // Last members so that they are destroyed first: their workers may still reach the fields
  // above. The timeline's follower has a set of its own, so it never counts as work in progress.
  Workers timeline_;
  Workers workers_;
};

/// The agent executable for a desktop app running as `programPath`: "Contents/MacOS/vek" of the
/// app bundle the program sits in, when that file exists and is executable; otherwise "vek"
/// beside the program.
std::filesystem::path cliPathFor(const std::filesystem::path& programPath);

}  // namespace vek::desktop
