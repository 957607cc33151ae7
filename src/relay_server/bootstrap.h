// The tokens that allow creating a group on this relay.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace vek::relay_server {

/// The set of accepted bootstrap tokens, held only as digests.
class BootstrapTokens {
 public:
  /// Reads the tokens of an admin's file: one a line, white space trimmed, blank lines and lines
  /// starting with "#" skipped. Throws VEKError when the file lists no token or a token shorter
  /// than 16 characters, SystemError when it cannot be read.
  static BootstrapTokens fromFile(const std::filesystem::path& file);

  /// Reads `file`, or creates it (mode 0600, written atomically) with one fresh random token when
  /// it does not exist. `created` tells which happened.
  static BootstrapTokens generatedIn(const std::filesystem::path& file, bool& created);

  /// Tokens given directly (tests).
  static BootstrapTokens of(const std::vector<std::string>& tokens);

  /// True when `token` is one of the accepted tokens. Every stored digest is compared, each in
  /// constant time, so timing does not reveal which one matched.
  bool accepts(std::string_view token) const;

  std::size_t size() const noexcept { return digests_.size(); }

 private:
  std::vector<std::string> digests_;
};

}  // namespace vek::relay_server
