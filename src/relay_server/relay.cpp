#include "relay_server/relay.h"

#include <algorithm>
#include <set>

#include "foundation/random.h"
#include "foundation/text.h"
#include "relay_server/notifier.h"

namespace vek::relay_server {

namespace {

// Files in the artifact folder that no job names are left alone this long when other relay
// processes share the folder: one of them may be writing a build there (a transfer stalls for at
// most a minute before it is dropped) or about to record one it has just renamed into place.
constexpr std::chrono::hours kAbandonedFileAge{1};

// Collects artifact files to delete once the transaction that released them has committed; a
// file is never removed while a committed row could still point at it. Partial uploads go with
// their job's upload phase, named by the job. A store may run a transaction's work again, so each
// run starts with `clear`: only the files the committed run released are deleted.
class Doomed {
 public:
  explicit Doomed(const ArtifactStore& artifacts) : artifacts_(artifacts) {}
  void add(std::string name) { names_.push_back(std::move(name)); }
  void addPartial(std::string jobId) { partials_.push_back(std::move(jobId)); }
  void clear() {
    names_.clear();
    partials_.clear();
  }
  std::size_t removeAll() {
    for (const auto& name : names_)
      artifacts_.remove(name);
    for (const auto& jobId : partials_)
      artifacts_.removePartial(jobId);
    std::size_t count = names_.size();
    names_.clear();
    partials_.clear();
    return count;
  }

 private:
  const ArtifactStore& artifacts_;
  std::vector<std::string> names_;
  std::vector<std::string> partials_;
};

std::string describe(std::chrono::seconds duration) {
  return text::duration(static_cast<double>(duration.count()));
}

// A value kept as compact JSON, as it goes into an answer. A value no client could read inside
// that answer (one stored before nesting was bounded) is served as null, like an unreadable one.
JSON storedJSON(const std::string& text) {
  try {
    JSON value = JSON::decode(text);
    if (nestsDeeperThan(value, kMaxStoredJsonDepth)) return JSON();
    return value;
  } catch (const std::exception&) {
    return JSON();
  }
}

JSON optionalText(const std::optional<std::string>& text) {
  return text ? JSON(*text) : JSON();
}

std::int64_t epochSeconds(Timestamp time) {
  return time.time_since_epoch().count();
}

// The whole second `time` falls in.
Timestamp secondOf(Instant time) {
  return std::chrono::floor<std::chrono::seconds>(time);
}

JSON jobJSON(const JobRow& job) {
  return JSON::object({
      {"id", job.id},
      {"state", nameOf(job.state)},
      {"builder_id", job.builderId},
      {"receiver_id", job.receiverId},
      {"spec", storedJSON(job.parameters)},
      {"error", optionalText(job.error)},
      {"artifact_sha", optionalText(job.artifactSha)},
      {"created", epochSeconds(job.created)},
      {"updated", epochSeconds(job.updated)},
      {"manifest", job.manifest ? storedJSON(*job.manifest) : JSON()},
  });
}

JSON eventJSON(const EventRow& event) {
  return JSON::object({
      {"id", event.id},
      {"message", event.message},
      {"created", epochSeconds(event.created)},
      {"device_id", event.deviceId},
  });
}

JSON membershipJSON(const DeviceRow& device, const std::string& token, const GroupRow& group) {
  return JSON::object({
      {"device_id", device.id},
      {"token", token},
      {"group_id", group.id},
      {"group_name", group.name},
  });
}

DeviceRow authenticate(StoreTransaction& tx, const PresentedCredentials& caller) {
  static const std::string nothing(32, '\0');
  std::optional<DeviceRow> device = tx.device(caller.deviceId);
  // Compare even for an unknown id, so timing does not tell which device ids exist.
  bool matches = digestsEqual(device ? device->tokenDigest : nothing, caller.tokenDigest);
  if (!device || !matches) {
    throw HttpError(401, "The device credential is not valid on this relay.");
  }
  if (device->revoked) throw HttpError(401, std::string(kRevokedCredential));
  return *device;
}

JobRow jobOfGroup(StoreTransaction& tx, const DeviceRow& caller, const std::string& jobId) {
  std::optional<JobRow> job;
  if (isCanonicalUUID(jobId)) job = tx.job(jobId);
  if (!job || job->groupId != caller.groupId) {
    throw HttpError(404, isCanonicalUUID(jobId)
                             ? "No job with the id " + jobId + " belongs to this group."
                             : std::string("No job with this id belongs to this group."));
  }
  return *job;
}

// The job, provided `lease` is the live lease the caller holds on it.
JobRow leasedJob(StoreTransaction& tx, const DeviceRow& caller, const std::string& jobId,
                 const std::optional<std::string>& lease, Instant now) {
  JobRow job = jobOfGroup(tx, caller, jobId);
  if (!lease || lease->empty()) {
    throw HttpError(409, "This request needs the job's lease in the X-VEK-Lease header.");
  }
  if (isTerminal(job.state)) {
    throw HttpError(409, "This job has already ended (" + std::string(nameOf(job.state)) +
                             "); it can no longer be changed.");
  }
  if (!job.leaseDigest || job.leaseHolder != caller.id ||
      !digestsEqual(*job.leaseDigest, secretDigest(*lease))) {
    throw HttpError(409,
                    "The lease in X-VEK-Lease is not the current lease of this job; the job is "
                    "not held by this Mac under that lease.");
  }
  if (job.leaseExpires <= now) {
    throw HttpError(409,
                    "The lease on this job has lapsed: the Mac holding it did not renew it in "
                    "time, so no more work is accepted under it.");
  }
  return job;
}

void requireState(const JobRow& job, JobState state) {
  if (job.state != state) {
    throw HttpError(409, "The job is " + std::string(nameOf(job.state)) +
                             ", but this request needs it to be " + std::string(nameOf(state)) +
                             ".");
  }
}

// Moves a job to a terminal state: the lease is released and the artifact is marked for deletion.
void endJob(JobRow& job, JobState state, std::optional<std::string> error, Timestamp now,
            Doomed& doomed) {
  job.state = state;
  job.error = std::move(error);
  job.leaseDigest.reset();
  job.leaseHolder.reset();
  job.leaseExpires = {};
  job.updated = now;
  if (job.artifactFile) {
    doomed.add(*job.artifactFile);
    job.artifactFile.reset();
  }
  doomed.addPartial(job.id);
}

DeviceRow memberDevice(StoreTransaction& tx, const DeviceRow& caller, const std::string& id,
                       std::string_view role) {
  std::optional<DeviceRow> device = tx.device(id);
  if (!device || device->groupId != caller.groupId) {
    throw HttpError(404,
                    "The " + std::string(role) + " Mac " + id + " is not a member of this group.");
  }
  if (device->revoked) {
    throw HttpError(400, "The " + std::string(role) + " Mac \"" + device->name +
                             "\" has been revoked from this group.");
  }
  return *device;
}

}  // namespace

Instant systemClock() {
  return std::chrono::floor<std::chrono::milliseconds>(std::chrono::system_clock::now());
}

HttpError missingCredentials() {
  return HttpError(401,
                   "This request needs a device credential: send the header "
                   "\"Authorization: Bearer <device id>.<token>\".");
}

Relay::Relay(Store& store, const ArtifactStore& artifacts, BootstrapTokens bootstrap,
             const Config& config, Notifier& notifier, Clock clock)
    : store_(store),
      artifacts_(artifacts),
      notifier_(notifier),
      bootstrap_(std::move(bootstrap)),
      leaseDuration_(config.leaseDuration),
      artifactMaxAge_(config.artifactMaxAge),
      inviteLifetime_(config.inviteLifetime),
      jobRetention_(config.jobRetention),
      clock_(std::move(clock)) {}

JSON Relay::createGroup(const std::optional<std::string>& bootstrapToken,
                        const CreateGroupRequest& request) {
  if (!bootstrapToken || bootstrapToken->empty()) {
    throw HttpError(401,
                    "Creating a group needs this relay's bootstrap token in the X-VEK-Bootstrap "
                    "header.");
  }
  if (!bootstrap_.accepts(*bootstrapToken)) {
    throw HttpError(403, "This relay does not accept that bootstrap token.");
  }
  Timestamp now = secondOf(currentTime());
  GroupRow group{randomUUID(), request.name, now};
  std::string token = newSecret();
  DeviceRow device;
  device.id = randomUUID();
  device.groupId = group.id;
  device.name = request.deviceName;
  device.tokenDigest = secretDigest(token);
  device.created = now;
  store_.write([&](StoreTransaction& tx) {
    tx.insertGroup(group);
    tx.insertDevice(device);
  });
  return membershipJSON(device, token, group);
}

JSON Relay::join(const JoinRequest& request) {
  auto ask = [](std::string reason) {
    return HttpError(403, reason + " Ask a member of the group for a new invite.");
  };
  if (!request.code) throw ask("This invite carries no valid invite code.");
  std::string codeDigest = secretDigest(*request.code);
  Timestamp now = secondOf(currentTime());
  std::string token = newSecret();
  DeviceRow device;
  GroupRow group;
  store_.write([&](StoreTransaction& tx) {
    std::optional<InviteRow> invite = tx.invite(codeDigest);
    if (!invite) throw ask("This invite code is not valid on this relay.");
    if (invite->usedBy) throw ask("This invite code has already been used.");
    if (invite->expires <= now) {
      throw ask("This invite code has expired (invites are valid for " + describe(inviteLifetime_) +
                ").");
    }
    std::optional<DeviceRow> issuer = tx.device(invite->createdBy);
    if (!issuer || issuer->revoked) {
      throw ask("This invite was issued by a Mac that has since been revoked from the group.");
    }
    group = tx.group(invite->groupId).value();
    device.id = randomUUID();
    device.groupId = group.id;
    device.name = request.deviceName;
    device.tokenDigest = secretDigest(token);
    device.created = now;
    tx.insertDevice(device);
    tx.markInviteUsed(codeDigest, device.id, now);
  });
  return membershipJSON(device, token, group);
}

JSON Relay::createInvite(const PresentedCredentials& caller) {
  std::string code = newSecret();
  Timestamp now = secondOf(currentTime());
  store_.write([&](StoreTransaction& tx) {
    DeviceRow device = authenticate(tx, caller);
    tx.insertInvite(
        {secretDigest(code), device.groupId, device.id, now, now + inviteLifetime_, std::nullopt});
  });
  return JSON::object(
      {{"code", code}, {"expires_in_seconds", std::int64_t{inviteLifetime_.count()}}});
}

JSON Relay::group(const PresentedCredentials& caller) {
  Timestamp now = secondOf(currentTime());
  JSON answer;
  store_.read([&](StoreTransaction& tx) {
    DeviceRow device = authenticate(tx, caller);
    GroupRow group = tx.group(device.groupId).value();
    JSON devices = JSON::array();
    for (const DeviceRow& member : tx.devicesOfGroup(group.id)) {
      bool online = !member.revoked && member.lastSeen != Timestamp{} &&
                    now - member.lastSeen <= kOnlineWindow;
      devices.push(JSON::object({
          {"id", member.id},
          {"name", member.name},
          {"online", online},
          {"revoked", member.revoked ? 1 : 0},
          {"last_seen", epochSeconds(member.lastSeen)},
          {"inventory", storedJSON(member.inventory)},
      }));
    }
    answer = JSON::object({{"id", group.id}, {"name", group.name}, {"devices", devices}});
  });
  return answer;
}

JSON Relay::revokeDevice(const PresentedCredentials& caller, const std::string& deviceId) {
  Timestamp now = secondOf(currentTime());
  Doomed doomed(artifacts_);
  std::vector<std::string> cancelled;
  // Exclusive: a job being queued for the device right now must be seen and ended too.
  store_.writeExclusively([&](StoreTransaction& tx) {
    doomed.clear();
    cancelled.clear();
    DeviceRow device = authenticate(tx, caller);
    std::optional<DeviceRow> target;
    if (isCanonicalUUID(deviceId)) target = tx.device(deviceId);
    if (!target || target->groupId != device.groupId) {
      throw HttpError(404, isCanonicalUUID(deviceId)
                               ? "No Mac with the id " + deviceId + " belongs to this group."
                               : std::string("No Mac with this id belongs to this group."));
    }
    if (target->revoked) return;
    tx.revokeDevice(target->id);
    for (JobRow job : tx.unfinishedJobsOf(target->id)) {
      endJob(job, JobState::cancelled,
             "The job was cancelled because the Mac \"" + target->name +
                 "\" was revoked from the group.",
             now, doomed);
      tx.updateJob(job);
      cancelled.push_back(job.id);
    }
  });
  doomed.removeAll();
  for (const std::string& id : cancelled)
    notifier_.post(Topic::jobChanged(id));
  return JSON::object({{"ok", true}});
}

JSON Relay::heartbeat(const PresentedCredentials& caller, const HeartbeatRequest& request) {
  Instant moment = currentTime();
  JSON jobs;
  store_.write([&](StoreTransaction& tx) {
    jobs = JSON::array();
    DeviceRow device = authenticate(tx, caller);
    tx.recordHeartbeat(device.id, secondOf(moment), request.inventoryText);
    std::set<std::string> seen;
    for (const LeaseClaim& lease : request.leases) {
      if (!isCanonicalUUID(lease.jobId) || !seen.insert(lease.jobId).second) continue;
      std::optional<JobRow> job = tx.job(lease.jobId);
      if (!job || job->groupId != device.groupId) continue;
      bool live = !isTerminal(job->state) && job->leaseDigest && job->leaseHolder == device.id &&
                  job->leaseExpires > moment &&
                  digestsEqual(*job->leaseDigest, secretDigest(lease.token));
      if (live) {
        job->leaseExpires = leaseDeadline(moment);
        tx.updateJob(*job);
      }
      jobs.push(JSON::object({{"id", job->id}, {"state", nameOf(job->state)}}));
    }
  });
  return JSON::object({{"jobs", jobs}});
}

JSON Relay::claim(const PresentedCredentials& caller) {
  Instant moment = currentTime();
  std::string lease = newSecret();
  std::optional<JobRow> claimed;
  store_.write([&](StoreTransaction& tx) {
    DeviceRow device = authenticate(tx, caller);
    claimed = tx.nextClaimable(device.groupId, device.id);
    if (!claimed) return;
    claimed->leaseDigest = secretDigest(lease);
    claimed->leaseHolder = device.id;
    claimed->leaseExpires = leaseDeadline(moment);
    tx.updateJob(*claimed);
  });
  if (!claimed) return JSON::object({{"job", JSON()}});
  return JSON::object({{"job", jobJSON(*claimed)},
                       {"lease", lease},
                       {"lease_seconds", std::int64_t{leaseDuration_.count()}}});
}

JSON Relay::listJobs(const PresentedCredentials& caller) {
  JSON jobs = JSON::array();
  store_.read([&](StoreTransaction& tx) {
    DeviceRow device = authenticate(tx, caller);
    for (const JobRow& job : tx.recentJobs(device.groupId, kJobListLimit))
      jobs.push(jobJSON(job));
  });
  return JSON::object({{"jobs", jobs}});
}

JSON Relay::queueJob(const PresentedCredentials& caller, const QueueJobRequest& request) {
  Timestamp now = secondOf(currentTime());
  JobRow job;
  store_.write([&](StoreTransaction& tx) {
    DeviceRow device = authenticate(tx, caller);
    DeviceRow builder = memberDevice(tx, device, request.builderId, "builder");
    DeviceRow receiver = memberDevice(tx, device, request.receiverId, "receiving");
    JSON phone;
    JSON inventory = storedJSON(receiver.inventory);
    for (const JSON& candidate : inventory["phones"].items()) {
      if (candidate["udid"].isString() && candidate["udid"].text() == request.udid) {
        phone = candidate;
        break;
      }
    }
    if (!phone.isObject()) {
      throw HttpError(400, "The receiving Mac \"" + receiver.name +
                               "\" has not reported an iPhone or iPad with the UDID " +
                               request.udid +
                               ". Connect the device to that Mac and make sure its agent is "
                               "running.");
    }
    JSON parameters = JSON::object({
        {"project_id", request.projectId},
        {"scheme", request.scheme},
        {"configuration", request.configuration},
        {"mode", request.mode},
        {"udid", request.udid},
        {"phone", phone},
    });
    job.id = randomUUID();
    job.groupId = device.groupId;
    job.state = JobState::building;
    job.builderId = builder.id;
    job.receiverId = receiver.id;
    job.parameters = parameters.data();
    job.created = now;
    job.updated = now;
    tx.insertJob(job);
  });
  notifier_.post(Topic::claimable(job.builderId));
  return jobJSON(job);
}

JSON Relay::job(const PresentedCredentials& caller, const std::string& jobId) {
  JSON answer;
  store_.read([&](StoreTransaction& tx) {
    DeviceRow device = authenticate(tx, caller);
    answer = jobJSON(jobOfGroup(tx, device, jobId));
  });
  return answer;
}

JSON Relay::events(const PresentedCredentials& caller, const std::string& jobId,
                   std::optional<std::int64_t> after) {
  return eventPage(caller, jobId, after).answer;
}

Relay::EventPage Relay::eventPage(const PresentedCredentials& caller, const std::string& jobId,
                                  std::optional<std::int64_t> after) {
  JSON events = JSON::array();
  JobState state = JobState::building;
  store_.read([&](StoreTransaction& tx) {
    DeviceRow device = authenticate(tx, caller);
    JobRow job = jobOfGroup(tx, device, jobId);
    state = job.state;
    for (const EventRow& event : tx.events(job.id, after.value_or(0), kEventPageLimit)) {
      events.push(eventJSON(event));
    }
  });
  return {JSON::object({{"events", events}}), state};
}

JSON Relay::cancel(const PresentedCredentials& caller, const std::string& jobId) {
  Timestamp now = secondOf(currentTime());
  Doomed doomed(artifacts_);
  JobRow job;
  store_.write([&](StoreTransaction& tx) {
    doomed.clear();
    DeviceRow device = authenticate(tx, caller);
    job = jobOfGroup(tx, device, jobId);
    if (isTerminal(job.state)) {
      throw HttpError(409, "This job has already ended (" + std::string(nameOf(job.state)) +
                               "), so it cannot be cancelled.");
    }
    endJob(job, JobState::cancelled, "The job was cancelled by \"" + device.name + "\".", now,
           doomed);
    tx.updateJob(job);
  });
  doomed.removeAll();
  notifier_.post(Topic::jobChanged(job.id));
  return jobJSON(job);
}

JSON Relay::postEvent(const PresentedCredentials& caller, const std::string& jobId,
                      const std::optional<std::string>& lease, const EventRequest& request) {
  Instant moment = currentTime();
  EventRow event;
  JobRow job;
  store_.write([&](StoreTransaction& tx) {
    DeviceRow device = authenticate(tx, caller);
    job = leasedJob(tx, device, jobId, lease, moment);
    if (tx.eventCount(job.id) >= kMaxEventsPerJob) {
      throw HttpError(409, "This job already has " + std::to_string(kMaxEventsPerJob) +
                               " progress messages, the most the relay keeps for one job; this "
                               "one was not stored.");
    }
    event = tx.insertEvent(job.id, device.id, request.message, secondOf(moment));
  });
  notifier_.post(Topic::jobChanged(job.id));
  return eventJSON(event);
}

JSON Relay::fail(const PresentedCredentials& caller, const std::string& jobId,
                 const std::optional<std::string>& lease, const FailRequest& request) {
  Instant moment = currentTime();
  Doomed doomed(artifacts_);
  JobRow job;
  store_.write([&](StoreTransaction& tx) {
    doomed.clear();
    DeviceRow device = authenticate(tx, caller);
    job = leasedJob(tx, device, jobId, lease, moment);
    endJob(job, JobState::failed, request.error, secondOf(moment), doomed);
    tx.updateJob(job);
  });
  doomed.removeAll();
  notifier_.post(Topic::jobChanged(job.id));
  return jobJSON(job);
}

JSON Relay::finishBuild(const PresentedCredentials& caller, const std::string& jobId,
                        const std::optional<std::string>& lease,
                        const FinishBuildRequest& request) {
  Instant moment = currentTime();
  Doomed doomed(artifacts_);
  JobRow job;
  store_.write([&](StoreTransaction& tx) {
    doomed.clear();
    DeviceRow device = authenticate(tx, caller);
    job = leasedJob(tx, device, jobId, lease, moment);
    requireState(job, JobState::building);
    if (!job.artifactFile) {
      throw HttpError(409,
                      "This job has no uploaded build yet; upload the build before finishing it.");
    }
    job.state = JobState::installing;
    job.manifest = request.manifestText;
    job.leaseDigest.reset();
    job.leaseHolder.reset();
    job.leaseExpires = {};
    job.updated = secondOf(moment);
    tx.updateJob(job);
    doomed.addPartial(job.id);
  });
  doomed.removeAll();
  notifier_.post(Topic::claimable(job.receiverId));
  notifier_.post(Topic::jobChanged(job.id));
  return jobJSON(job);
}

JSON Relay::finish(const PresentedCredentials& caller, const std::string& jobId,
                   const std::optional<std::string>& lease) {
  Instant moment = currentTime();
  Doomed doomed(artifacts_);
  JobRow job;
  store_.write([&](StoreTransaction& tx) {
    doomed.clear();
    DeviceRow device = authenticate(tx, caller);
    job = leasedJob(tx, device, jobId, lease, moment);
    requireState(job, JobState::installing);
    endJob(job, JobState::succeeded, std::nullopt, secondOf(moment), doomed);
    tx.updateJob(job);
  });
  doomed.removeAll();
  notifier_.post(Topic::jobChanged(job.id));
  return jobJSON(job);
}

std::optional<PublishedArtifact> Relay::authorizeUpload(const PresentedCredentials& caller,
                                                        const std::string& jobId,
                                                        const std::optional<std::string>& lease) {
  Instant moment = currentTime();
  std::optional<PublishedArtifact> current;
  store_.read([&](StoreTransaction& tx) {
    DeviceRow device = authenticate(tx, caller);
    JobRow job = leasedJob(tx, device, jobId, lease, moment);
    requireState(job, JobState::building);
    if (job.artifactFile && job.artifactSha) {
      current = PublishedArtifact{*job.artifactFile, *job.artifactSha,
                                  static_cast<std::uint64_t>(job.artifactSize)};
    }
  });
  return current;
}

JSON Relay::commitUpload(const PresentedCredentials& caller, const std::string& jobId,
                         const std::optional<std::string>& lease,
                         const PublishedArtifact& artifact) {
  Instant moment = currentTime();
  Doomed doomed(artifacts_);
  try {
    store_.write([&](StoreTransaction& tx) {
      doomed.clear();
      DeviceRow device = authenticate(tx, caller);
      JobRow job = leasedJob(tx, device, jobId, lease, moment);
      requireState(job, JobState::building);
      if (job.artifactFile) doomed.add(*job.artifactFile);
      job.artifactFile = artifact.file;
      job.artifactSha = artifact.sha;
      job.artifactSize = static_cast<std::int64_t>(artifact.size);
      job.artifactUploaded = secondOf(moment);
      job.updated = secondOf(moment);
      tx.updateJob(job);
    });
  } catch (...) {
    artifacts_.remove(artifact.file);
    throw;
  }
  doomed.removeAll();
  return JSON::object({{"ok", true},
                       {"artifact_sha", artifact.sha},
                       {"size", static_cast<std::int64_t>(artifact.size)}});
}

DownloadTicket Relay::authorizeDownload(const PresentedCredentials& caller,
                                        const std::string& jobId,
                                        const std::optional<std::string>& lease) {
  Instant moment = currentTime();
  DownloadTicket ticket;
  store_.read([&](StoreTransaction& tx) {
    DeviceRow device = authenticate(tx, caller);
    JobRow job = leasedJob(tx, device, jobId, lease, moment);
    requireState(job, JobState::installing);
    if (!job.artifactFile || !job.artifactSha) {
      throw HttpError(409, "This job has no build on the relay.");
    }
    ticket = {*job.artifactFile, static_cast<std::uint64_t>(job.artifactSize), *job.artifactSha};
  });
  return ticket;
}

std::map<std::string, std::uint64_t> Relay::jobCountsByState() {
  std::map<std::string, std::uint64_t> counts;
  for (const char* state : {"building", "installing", "succeeded", "failed", "cancelled"}) {
    counts[state] = 0;
  }
  store_.read([&](StoreTransaction& tx) {
    for (const auto& [state, count] : tx.jobCountsByState())
      counts[state] = count;
  });
  return counts;
}

SweepReport Relay::sweep() {
  Instant moment = currentTime();
  Timestamp now = secondOf(moment);
  SweepReport report;
  Doomed doomed(artifacts_);
  std::vector<std::string> failed;
  bool turn = false;
  const std::vector<PartialUpload> partials = artifacts_.partials();
  store_.write([&](StoreTransaction& tx) {
    report = {};
    doomed.clear();
    failed.clear();
    turn = tx.takeSweepTurn();
    if (!turn) return;
    for (JobRow job : tx.jobsWithLeaseExpiredBy(moment)) {
      bool ended = isTerminal(job.state);
      endJob(job, ended ? job.state : JobState::failed,
             ended ? job.error : std::string(kStoppedResponding), now, doomed);
      tx.updateJob(job);
      if (!ended) failed.push_back(job.id);
      ++report.lapsed;
    }
    for (JobRow job : tx.jobsWithArtifactUploadedBy(now - artifactMaxAge_)) {
      if (isTerminal(job.state)) {
        doomed.add(*job.artifactFile);
        job.artifactFile.reset();
      } else {
        endJob(job, JobState::failed,
               "The build expired: the relay keeps a build for at most " +
                   describe(artifactMaxAge_) +
                   ", and this one was not installed in time. Run the deployment again.",
               now, doomed);
        failed.push_back(job.id);
        ++report.expired;
      }
      tx.updateJob(job);
    }
    // A partial upload lives while its job is building under a live lease, and no longer than a
    // build would.
    for (const PartialUpload& partial : partials) {
      std::optional<JobRow> job = tx.job(partial.jobId);
      bool live = job && job->state == JobState::building && job->leaseDigest &&
                  job->leaseExpires > moment && partial.started > now - artifactMaxAge_;
      if (!live) doomed.addPartial(partial.jobId);
    }
    report.removed = tx.deleteJobsEndedBefore(now - jobRetention_);
    tx.deleteInvitesExpiredBefore(now - kExpiredInviteMemory);
  });
  report.deleted = doomed.removeAll();
  for (const std::string& id : failed)
    notifier_.post(Topic::jobChanged(id));
  // A relay process killed mid-upload leaves its temporary file behind, and may never start
  // again to delete it; the others clean up after it.
  if (turn && store_.shared()) report.deleted += removeLeftovers(kAbandonedFileAge);
  return report;
}

std::size_t Relay::removeLeftovers(std::chrono::seconds minimumAge) {
  std::set<std::string> keep;
  std::set<std::string> uploading;
  store_.read([&](StoreTransaction& tx) {
    keep.clear();
    uploading.clear();
    for (const JobRow& job : tx.jobsWithArtifacts())
      keep.insert(*job.artifactFile);
    for (const JobRow& job : tx.leasedJobs()) {
      if (job.state == JobState::building) uploading.insert(job.id);
    }
  });
  return artifacts_.removeLeftovers(keep, uploading, minimumAge);
}

JSON Relay::health() {
  try {
    store_.read([](StoreTransaction&) {});
  } catch (const StoreError&) {
    throw HttpError(503, std::string(kDatabaseUnreachable));
  }
  return JSON::object({{"ok", true}});
}

RecoveryReport Relay::recover() {
  Instant moment = currentTime();
  Timestamp now = secondOf(moment);
  RecoveryReport report;
  Doomed doomed(artifacts_);
  std::set<std::string> keep;
  std::vector<std::string> failed;
  std::set<std::string> uploading;
  store_.write([&](StoreTransaction& tx) {
    report = {};
    doomed.clear();
    keep.clear();
    uploading.clear();
    failed.clear();
    Instant renewed = leaseDeadline(moment);
    for (JobRow job : tx.leasedJobs()) {
      if (job.state == JobState::building) uploading.insert(job.id);
      if (isTerminal(job.state) || job.leaseExpires >= renewed) continue;
      job.leaseExpires = renewed;
      tx.updateJob(job);
      ++report.leasesRenewed;
    }
    for (JobRow job : tx.jobsWithArtifacts()) {
      if (isTerminal(job.state)) {
        doomed.add(*job.artifactFile);
        job.artifactFile.reset();
      } else if (!artifacts_.exists(*job.artifactFile)) {
        ++report.artifactsMissing;
        job.artifactFile.reset();
        if (job.state == JobState::installing) {
          endJob(job, JobState::failed,
                 "The relay lost this job's build before it was installed. Run the deployment "
                 "again.",
                 now, doomed);
          failed.push_back(job.id);
        }
      } else {
        keep.insert(*job.artifactFile);
        continue;
      }
      tx.updateJob(job);
    }
    tx.forgetRevokedInventories();
  });
  doomed.removeAll();
  for (const std::string& id : failed)
    notifier_.post(Topic::jobChanged(id));
  // Alone, the relay deletes every leftover; sharing the folder, only those nobody can still be
  // writing (see kAbandonedFileAge).
  report.leftoversDeleted = artifacts_.removeLeftovers(
      keep, uploading, store_.shared() ? kAbandonedFileAge : std::chrono::seconds(0));
  return report;
}

}  // namespace vek::relay_server
