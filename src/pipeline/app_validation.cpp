#include "pipeline/app_validation.h"

#include <algorithm>

#include "foundation/developer_tools.h"
#include "foundation/errors.h"
#include "foundation/process_runner.h"

namespace vek::BuildPipeline {

namespace {

namespace fs = std::filesystem;

constexpr double verifyTimeout = 120;
constexpr double inspectTimeout = 30;

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

// The next piece of a version text: a whole run of digits, or one other character.
std::string_view nextPiece(std::string_view& text) {
  std::size_t length = 1;
  if (isDigit(text[0])) {
    while (length < text.size() && isDigit(text[length]))
      ++length;
  }
  std::string_view piece = text.substr(0, length);
  text.remove_prefix(length);
  return piece;
}

// True when `rest` is nothing but ".0"-style components (".0", ".00.0", ...).
bool onlyZeroComponents(std::string_view rest) {
  while (!rest.empty()) {
    if (rest[0] != '.' || rest.size() < 2 || !isDigit(rest[1])) return false;
    rest.remove_prefix(1);
    std::string_view digits = nextPiece(rest);
    if (digits.find_first_not_of('0') != std::string_view::npos) return false;
  }
  return true;
}

std::strong_ordering compareNumbers(std::string_view a, std::string_view b) {
  a.remove_prefix(std::min(a.find_first_not_of('0'), a.size()));
  b.remove_prefix(std::min(b.find_first_not_of('0'), b.size()));
  if (a.size() != b.size()) return a.size() <=> b.size();
  return a.compare(b) <=> 0;
}

// True when `value` is an array whose elements are all strings, one of them `wanted`.
bool stringsContain(const Plist& value, std::string_view wanted) {
  if (!value.isArray()) return false;
  const Plist::Array& items = value.items();
  return std::all_of(items.begin(), items.end(),
                     [](const Plist& item) { return item.isString(); }) &&
         std::any_of(items.begin(), items.end(),
                     [&](const Plist& item) { return item.text() == wanted; });
}

Plist readInfo(const fs::path& bundle) {
  Plist info = Plist::readFile(bundle / "Info.plist");
  if (!info.isDictionary()) throw VEKError("Invalid plist: Info.plist");
  return info;
}

// The property list a tool printed about `bundle`.
Plist toolOutput(const ToolCommand& command, const std::optional<std::string>& job,
                 const fs::path& bundle) {
  ProcessRunner::Invocation invocation = command.invocation(inspectTimeout);
  invocation.job = job;
  const ProcessResult result = ProcessRunner::run(invocation);
  try {
    return Plist::decode(result.output);
  } catch (const DecodingError& error) {
    throw DecodingError("Cannot read what " + fs::path(command.executable).filename().string() +
                        " printed for " + bundle.filename().string() + ": " + error.what());
  }
}

bool entryExists(const fs::path& path) {
  std::error_code ignored;
  return fs::exists(fs::symlink_status(path, ignored));
}

}  // namespace

std::strong_ordering compareVersions(std::string_view a, std::string_view b) noexcept {
  while (!a.empty() && !b.empty()) {
    const bool numeric = isDigit(a[0]) && isDigit(b[0]);
    std::string_view pieceA = nextPiece(a);
    std::string_view pieceB = nextPiece(b);
    const std::strong_ordering order =
        numeric ? compareNumbers(pieceA, pieceB) : pieceA.compare(pieceB) <=> 0;
    if (order != 0) return order;
  }
  if (onlyZeroComponents(a) && onlyZeroComponents(b)) return std::strong_ordering::equal;
  return a.size() <=> b.size();
}

std::vector<fs::path> extensionBundles(const fs::path& app) {
  std::vector<fs::path> found;
  std::vector<fs::path> pending{app};
  while (!pending.empty()) {
    const fs::path directory = std::move(pending.back());
    pending.pop_back();
    std::vector<fs::directory_entry> entries;
    std::error_code error;
    for (fs::directory_iterator entry(directory, error), end; !error && entry != end;
         entry.increment(error)) {
      entries.push_back(*entry);
    }
    if (error) throw SystemError("Cannot list", directory, error.value());
    std::sort(entries.begin(), entries.end());
    // Children go on the stack in reverse so the first name is walked first.
    for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
      std::error_code ignored;
      if (entry->is_directory(ignored) && !entry->is_symlink(ignored)) {
        pending.push_back(entry->path());
      }
    }
    for (const fs::directory_entry& entry : entries) {
      if (entry.path().extension() == ".appex") found.push_back(entry.path());
    }
  }
  return found;
}

void validateProfile(const Plist& profile, const Plist& entitlements, std::string_view udid,
                     std::string_view mode, std::string_view bundleID,
                     std::chrono::system_clock::time_point now) {
  const std::optional<Plist::Date> expiry = profile["ExpirationDate"].date();
  if (!expiry || *expiry <= now) throw VEKError("Provisioning profile is expired");

  if (!stringsContain(profile["ProvisionedDevices"], udid)) {
    throw VEKError("The selected iPhone UDID is missing from the provisioning profile for " +
                   std::string(bundleID) +
                   ". Register it in the Apple Developer team and regenerate the profile.");
  }

  const Plist& profileEntitlements = profile["Entitlements"];
  const std::string& signedID = entitlements["application-identifier"].text();
  const std::string& profileID = profileEntitlements["application-identifier"].text();
  const bool covered = profileID.ends_with(".*")
                           ? signedID.starts_with(profileID.substr(0, profileID.size() - 1))
                           : signedID == profileID;
  if (!covered || !signedID.ends_with("." + std::string(bundleID))) {
    throw VEKError("Bundle ID and signing profile do not match");
  }

  const bool adhoc = mode == "adhoc";
  if (adhoc) {
    if (entitlements["get-task-allow"].flag() || profileEntitlements["get-task-allow"].flag()) {
      throw VEKError("Ad Hoc export still has development debugger entitlements");
    }
  } else if (!entitlements["get-task-allow"].flag()) {
    throw VEKError("Debug export is not development signed");
  }

  const Plist& push = entitlements["aps-environment"];
  if (push.isString()) {
    const std::string expected = adhoc ? "production" : "development";
    const Plist& allowed = profileEntitlements["aps-environment"];
    if (push.text() != expected || !allowed.isString() || allowed.text() != expected) {
      throw VEKError("APNs entitlement must be " + expected + " for " + std::string(mode) +
                     ". Check signing and export profiles.");
    }
  }
}

JSON validateApp(const fs::path& app, std::string_view udid, std::string_view mode,
                 std::string_view phoneOS, const std::optional<fs::path>& log,
                 const std::optional<std::string>& job) {
  ProcessRunner::Invocation verify = DeveloperTools::verifySignature(app).invocation(verifyTimeout);
  verify.log = log;
  verify.job = job;
  ProcessRunner::run(verify);

  const Plist info = readInfo(app);
  const std::string& bundleID = info["CFBundleIdentifier"].text();
  if (bundleID.empty() || !stringsContain(info["CFBundleSupportedPlatforms"], "iPhoneOS")) {
    throw VEKError("The build is not a physical-device iOS app");
  }

  const Plist& minimumValue = info["MinimumOSVersion"];
  const std::string minimum = minimumValue.isString() ? minimumValue.text() : "0";
  if (!phoneOS.empty() && compareVersions(phoneOS, minimum) < 0) {
    throw VEKError("App requires iOS " + minimum + "; selected device has " + std::string(phoneOS));
  }

  if (entryExists(app / "Watch")) {
    throw VEKError(
        "Apps with embedded Watch apps need companion-device provisioning, which this VEK version "
        "does not yet support.");
  }

  std::vector<fs::path> bundles{app};
  for (fs::path& extension : extensionBundles(app))
    bundles.push_back(std::move(extension));
  std::string push = "none";
  for (const fs::path& bundle : bundles) {
    const Plist bundleInfo = bundle == app ? info : readInfo(bundle);
    const fs::path profilePath = bundle / "embedded.mobileprovision";
    if (!entryExists(profilePath)) {
      throw VEKError("Missing provisioning profile in " + bundle.filename().string());
    }
    const Plist profile = toolOutput(DeveloperTools::decodeProfile(profilePath), job, bundle);
    const Plist entitlements = toolOutput(DeveloperTools::signedEntitlements(bundle), job, bundle);
    if (!profile.isDictionary() || !entitlements.isDictionary()) {
      throw VEKError("Cannot read provisioning or signed entitlements");
    }
    validateProfile(profile, entitlements, udid, mode, bundleInfo["CFBundleIdentifier"].text(),
                    std::chrono::system_clock::now());
    if (bundle == app && entitlements["aps-environment"].isString()) {
      push = entitlements["aps-environment"].text();
    }
  }

  return JSON::object({
      {"bundle_id", bundleID},
      {"version", info["CFBundleShortVersionString"].text()},
      {"build", info["CFBundleVersion"].text()},
      {"minimum_os", minimum},
      {"aps_environment", push},
  });
}

}  // namespace vek::BuildPipeline
