#include "foundation/developer_tools.h"

namespace vek {

ProcessRunner::Invocation ToolCommand::invocation(double timeout) const {
  ProcessRunner::Invocation result;
  result.executable = executable;
  result.arguments = arguments;
  result.timeout = timeout;
  return result;
}

namespace DeveloperTools {

namespace {

ToolCommand command(std::string_view executable, std::vector<std::string> arguments) {
  return {std::string(executable), std::move(arguments)};
}

}  // namespace

ToolCommand listDevices(const std::filesystem::path& jsonOutput) {
  return command(xcrun, {"devicectl", "list", "devices", "--timeout", "20", "--json-output",
                         jsonOutput.string()});
}

ToolCommand listContainer(const std::vector<std::string>& selection) {
  std::vector<std::string> arguments{"xcodebuild", "-list", "-json"};
  arguments.insert(arguments.end(), selection.begin(), selection.end());
  return command(xcrun, std::move(arguments));
}

ToolCommand archive(const ArchiveRequest& request) {
  std::vector<std::string> arguments{"xcodebuild", "archive"};
  arguments.insert(arguments.end(), request.selection.begin(), request.selection.end());
  arguments.insert(arguments.end(), {"-scheme", request.scheme, "-configuration",
                                     request.configuration, "-destination", "generic/platform=iOS",
                                     "-archivePath", request.archivePath.string(),
                                     "-derivedDataPath", request.derivedDataPath.string()});
  if (request.automaticSigning) {
    arguments.push_back("-allowProvisioningUpdates");
    arguments.push_back("CODE_SIGN_STYLE=Automatic");
  }
  if (request.team && !request.team->empty()) {
    arguments.push_back("DEVELOPMENT_TEAM=" + *request.team);
  }
  return command(xcrun, std::move(arguments));
}

ToolCommand exportArchive(const std::filesystem::path& archivePath,
                          const std::filesystem::path& exportPath,
                          const std::filesystem::path& exportOptionsPlist,
                          bool allowProvisioningUpdates) {
  std::vector<std::string> arguments{
      "xcodebuild",  "-exportArchive",    "-archivePath",        archivePath.string(),
      "-exportPath", exportPath.string(), "-exportOptionsPlist", exportOptionsPlist.string()};
  if (allowProvisioningUpdates) arguments.push_back("-allowProvisioningUpdates");
  return command(xcrun, std::move(arguments));
}

ToolCommand unzip(const std::filesystem::path& archive, const std::filesystem::path& destination) {
  return command(ditto, {"-x", "-k", archive.string(), destination.string()});
}

ToolCommand verifySignature(const std::filesystem::path& bundle) {
  return command(codesign, {"--verify", "--deep", "--strict", bundle.string()});
}

ToolCommand signedEntitlements(const std::filesystem::path& bundle) {
  return command(codesign, {"-d", "--entitlements", ":-", bundle.string()});
}

ToolCommand decodeProfile(const std::filesystem::path& profile) {
  return command(security, {"cms", "-D", "-i", profile.string()});
}

ToolCommand installApp(std::string_view udid, const std::filesystem::path& app) {
  return command(xcrun, {"devicectl", "device", "install", "app", "--device", std::string(udid),
                         app.string()});
}

ToolCommand launchApp(std::string_view udid, std::string_view bundleID) {
  return command(xcrun, {"devicectl", "device", "process", "launch", "--device", std::string(udid),
                         "--terminate-existing", std::string(bundleID)});
}

ToolCommand xcodeVersion() {
  return command(xcodebuild, {"-version"});
}

ToolCommand codeSigningIdentities() {
  return command(security, {"find-identity", "-v", "-p", "codesigning"});
}

}  // namespace DeveloperTools

}  // namespace vek
