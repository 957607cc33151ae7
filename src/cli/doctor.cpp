// `vek doctor`: what this Mac has and lacks, as one object that is printed whatever is missing.
//
// The members every build has always printed come first and keep their meaning: the texts of
// `xcodebuild -version` and of the signing-identity listing, the attached devices and the agent's
// status. A tool that cannot even start leaves its complaint where its output would be, and a
// device listing that fails leaves the list empty, so a Mac without Xcode is diagnosed rather than
// refused. Then come the questions a person asks first: is this Mac in a group (and which), does
// the relay answer (and how fast), and a list of problems, one sentence each saying what is wrong
// and what to do about it. The relay gets one request, bounded in time so that an unreachable
// relay costs seconds, not the minute of an ordinary request's idle limit.
#include <chrono>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "agent/agent_service.h"
#include "cli/commands.h"
#include "foundation/constants.h"
#include "foundation/credentials.h"
#include "foundation/developer_tools.h"
#include "foundation/task.h"
#include "foundation/text.h"
#include "pipeline/devices.h"
#include "relay_client/group_cache.h"

namespace vek::cli {

namespace {

using namespace std::chrono_literals;

// How long the relay may take to answer before doctor reports it as not answering.
constexpr auto relayProbeLimit = 10s;

struct ToolCheck {
  std::string output;
  std::string error;
  /// False when the tool could not be started, or was ended by a time-out or a signal.
  bool ran = false;
  int status = 0;
};

// The tool's exit status is not judged here: a missing Xcode shows in the texts it prints. A
// tool that cannot start gives the reason as its standard error.
ToolCheck check(const ToolCommand& command) {
  ToolCheck result;
  try {
    ProcessRunner::Invocation invocation = command.invocation(30);
    invocation.allowFailure = true;
    ProcessResult run = ProcessRunner::run(invocation);
    result = {run.output, run.error, true, run.status};
  } catch (const CancellationError&) {
    throw;
  } catch (const std::exception& error) {
    result.error = error.what();
  }
  return result;
}

// The first line of `text`, trimmed; for quoting a tool's complaint inside a sentence.
std::string firstLine(const std::string& text) {
  std::string trimmed = text::trim(text);
  return trimmed.substr(0, trimmed.find('\n'));
}

struct RelayProbe {
  JSON report;
  std::optional<std::string> problem;
};

// GET /v1/group, bounded by relayProbeLimit. Its answer also refreshes the completion cache.
RelayProbe probeRelay(const Credentials& credentials) {
  RelayProbe probe;
  probe.report = JSON::object({{"server", credentials.server}});
  std::optional<API> api;
  try {
    api.emplace(credentials);
  } catch (const std::exception& error) {
    probe.report.set("reachable", false);
    probe.report.set("error", error.what());
    probe.problem = std::string(error.what()) + " Join the group again with a new invite.";
    return probe;
  }
  JSON answer;
  std::string failure;
  bool transportFailed = false;
  const auto start = std::chrono::steady_clock::now();
  task::Task request([&] {
    try {
      answer = api->call("GET", "/v1/group");
    } catch (const CancellationError&) {
      throw;
    } catch (const TransportError& error) {
      failure = error.what();
      transportFailed = true;
    } catch (const std::exception& error) {
      failure = error.what();
    }
  });
  const auto deadline = start + relayProbeLimit;
  while (!request.finished() && std::chrono::steady_clock::now() < deadline)
    task::sleepFor(20ms);
  const bool finished = request.finished();
  request.requestStop();
  try {
    request.join();
  } catch (const CancellationError&) {
  }
  const auto elapsed = std::chrono::steady_clock::now() - start;

  // An answer that refuses the request still shows the relay reachable, and how fast it is.
  const bool reachable = finished && !transportFailed;
  probe.report.set("reachable", reachable);
  if (reachable) {
    probe.report.set("latency_ms",
                     std::round(std::chrono::duration<double, std::milli>(elapsed).count()));
  }
  if (!finished) {
    failure = "no answer within " + std::to_string(relayProbeLimit.count()) + " seconds";
    probe.problem = "The relay at " + credentials.server + " does not answer (" + failure +
                    "). Check this Mac's network connection, or ask whoever runs the relay.";
  } else if (transportFailed) {
    probe.problem = failure + ". Check this Mac's network connection and the relay's address.";
  } else if (failure.find("revoked device credential") != std::string::npos) {
    probe.problem = "This Mac was revoked from its group (the relay says: " + failure +
                    "). Ask a member for an invite and join again with vek group join.";
  } else if (!failure.empty()) {
    probe.problem =
        "The relay at " + credentials.server + " refused this Mac's request: " + failure;
  } else {
    GroupCache::remember(answer);
    return probe;
  }
  probe.report.set("error", failure);
  return probe;
}

}  // namespace

Result doctor(const CommandContext&) {
  std::vector<std::string> problems;

  ToolCheck xcode = check(DeveloperTools::xcodeVersion());
  if (!xcode.ran || xcode.status != 0) {
    problems.push_back("Xcode cannot be run (" + firstLine(xcode.error + xcode.output) +
                       "). Install Xcode, open it once, then run: sudo xcode-select --switch "
                       "/Applications/Xcode.app");
  }
  ToolCheck signing = check(DeveloperTools::codeSigningIdentities());
  if (!signing.ran) {
    problems.push_back("The signing identities cannot be listed (" + firstLine(signing.error) +
                       "); they come from macOS's security tool and keychains.");
  } else if (signing.output.find(" 0 valid identities found") != std::string::npos) {
    problems.push_back(
        "No code-signing identity is in this Mac's keychain. Sign in to your developer account "
        "in Xcode's Settings (Accounts) and create an Apple Development certificate.");
  }

  JSON devices = JSON::array();
  try {
    devices = Devices::list();
  } catch (const CancellationError&) {
    throw;
  } catch (const std::exception& error) {
    problems.push_back("The attached iPhones and iPads cannot be listed: " +
                       firstLine(error.what()));
  }

  JSON agent = AgentService::status();
  JSON group = JSON::object({{"enrolled", false}});
  JSON relay;
  std::optional<Credentials> credentials;
  std::string unreadable;
  try {
    credentials = CredentialStore::load();
  } catch (const std::exception& error) {
    unreadable = error.what();
  }
  if (credentials) {
    group = JSON::object({{"enrolled", true},
                          {"group_id", credentials->groupID},
                          {"group_name", credentials->groupName},
                          {"device_id", credentials->deviceID},
                          {"device_name", credentials->deviceName}});
    RelayProbe probe = probeRelay(*credentials);
    relay = probe.report;
    if (probe.problem) problems.push_back(*probe.problem);
    if (!agent["running"].flag()) {
      problems.push_back(
          "The agent is not running, so this Mac neither builds nor installs for the group. "
          "Start it with: vek agent install");
    } else if (!agent["error"].text().empty()) {
      problems.push_back("The agent reports a problem: " + agent["error"].text());
    }
  } else if (!unreadable.empty()) {
    problems.push_back("This Mac's credentials cannot be read: " + unreadable);
  } else {
    problems.push_back(
        "This Mac is not in a group. Create one with vek group create, or join one with an "
        "invite from a member: vek group join --invite-file PATH");
  }

  return JSON::object({{"version", VEK::version},
                       {"xcode", xcode.output + xcode.error},
                       {"signing_identities", signing.ran ? signing.output : signing.error},
                       {"devices", devices},
                       {"agent", agent},
                       {"group", group},
                       {"relay", relay},
                       {"problems", JSON::strings(problems)}});
}

}  // namespace vek::cli
