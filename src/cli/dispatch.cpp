// Dispatch: the first matching row wins. The local commands (doctor, group create and join,
// projects add, remove and list --local, devices --local, agent status and uninstall) work on any
// Mac; after them stands the enrolment gate, so every remaining command word, known or not, first
// needs stored credentials (a Mac that is not enrolled hears about enrolment even for a typo; an
// enrolled one hears "Unknown command").
#include "cli/dispatch.h"

#include <functional>

#include "foundation/computer_name.h"
#include "foundation/errors.h"

namespace vek::cli {

namespace {

struct LocalRow {
  const char* command;
  std::function<bool(const std::string& sub, const Arguments&)> matches;
  Result (*run)(const CommandContext&);
};

struct EnrolledRow {
  std::function<bool(const std::string& command, const std::string& sub)> matches;
  Result (*run)(const CommandContext&, const Membership&);
};

bool any(const std::string&, const Arguments&) {
  return true;
}

auto sub(const char* name) {
  return [name](const std::string& value, const Arguments&) { return value == name; };
}

}  // namespace

Result execute(const Arguments& arguments) {
  CommandContext context{arguments, arguments.value("--device-name").value_or("")};
  if (!arguments.value("--device-name")) context.deviceName = computerName();

  const std::string command = arguments.positionalAt(0);
  const std::string subcommand = arguments.positionalAt(1);

  static const LocalRow local[] = {
      {"doctor", any, doctor},
      {"group", sub("create"), groupCreate},
      {"group", sub("join"), groupJoin},
      {"projects", sub("add"), projectsAdd},
      {"projects", sub("remove"), projectsRemove},
      {"projects",
       [](const std::string& value, const Arguments& args) {
         return value == "list" && args.has("--local");
       },
       projectsListLocal},
      {"devices", [](const std::string&, const Arguments& args) { return args.has("--local"); },
       devicesLocal},
      {"agent", sub("status"), agentStatus},
      {"agent", sub("uninstall"), agentUninstall},
  };
  for (const auto& row : local) {
    if (command == row.command && row.matches(subcommand, arguments)) return row.run(context);
  }

  auto credentials = CredentialStore::load();
  if (!credentials)
    throw VEKError("This Mac is not enrolled. Use group create or group join first.");
  Membership membership{*credentials, API(*credentials)};

  auto is = [](const char* name, const char* subName) {
    return [name, subName](const std::string& c, const std::string& s) {
      return c == name && (subName == nullptr || s == subName);
    };
  };
  static const EnrolledRow enrolled[] = {
      {is("agent", "install"), agentInstall},
      {is("agent", "run"), agentRun},
      {is("group", "invite"), groupInvite},
      {is("group", "status"), groupStatus},
      {is("group", "revoke"), groupRevoke},
      {is("projects", "list"), projectsList},
      {is("devices", nullptr), devices},
      {is("run", nullptr), run},
      {is("jobs", nullptr), jobs},
      {[](const std::string& c, const std::string&) {
         return c == "job" || c == "logs" || c == "cancel";
       },
       jobCommand},
  };
  for (const auto& row : enrolled) {
    if (row.matches(command, subcommand)) return row.run(context, membership);
  }
  throw VEKError("Unknown command. Run vek --help.");
}

}  // namespace vek::cli
