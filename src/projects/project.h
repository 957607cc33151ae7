// A project registered on this Mac: where the Xcode project or workspace lies, the shared schemes
// and build configurations it offers, and how its exported app is signed.
//
// The registry stores each record as a JSON object whose members are the field names below. The
// two optional members are left out when absent and read back as absent when missing or null;
// every other member is required with its type, and members not listed are ignored.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "foundation/json.h"

namespace vek {

struct Project {
  /// Identity of the registration: a random UUID, lower-case canonical text. Kept when the same
  /// path is registered again.
  std::string id;
  /// Display name.
  std::string name;
  /// Absolute, normalised, symlink-free path of the .xcodeproj or .xcworkspace.
  std::string path;
  /// The shared schemes xcodebuild listed, in its order (duplicates kept).
  std::vector<std::string> schemes;
  /// Build configurations, unique and sorted ascending.
  std::vector<std::string> configurations;
  /// Apple developer team to sign with, when one was given.
  std::optional<std::string> teamID;
  /// Export-options property list for manual signing, when one was given.
  std::optional<std::string> exportOptionsPath;
  /// True for Xcode's automatic signing; false for manual signing with the export options.
  bool automaticSigning = true;

  /// The two xcodebuild arguments that select the container: "-workspace" and the path when the
  /// path ends in ".xcworkspace" (case-sensitive), else "-project" and the path.
  std::vector<std::string> selection() const;

  /// The public summary, exactly "id", "name", "schemes" and "configurations": what commands print
  /// for a project and what this Mac publishes to its group. Never the path or signing choices.
  JSON json() const;

  /// The registry form of the record.
  JSON encoded() const;

  /// Reads the registry form. Throws DecodingError naming the first required member that is
  /// missing or of the wrong type, or an optional member that is neither absent, null nor a string.
  static Project decode(const JSON& value);

  friend bool operator==(const Project&, const Project&) = default;
};

}  // namespace vek
