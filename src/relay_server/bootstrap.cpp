#include "relay_server/bootstrap.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>

#include "foundation/errors.h"
#include "foundation/file.h"
#include "foundation/random.h"
#include "foundation/text.h"
#include "relay_server/tokens.h"

namespace vek::relay_server {

namespace {

constexpr std::size_t kMinimumTokenLength = 16;

std::vector<std::string> tokensIn(const std::string& content) {
  std::vector<std::string> tokens;
  std::istringstream lines(content);
  std::string line;
  while (std::getline(lines, line)) {
    std::string token = text::trim(line);
    if (token.empty() || token.starts_with("#")) continue;
    tokens.push_back(token);
  }
  return tokens;
}

}  // namespace

BootstrapTokens BootstrapTokens::of(const std::vector<std::string>& tokens) {
  BootstrapTokens set;
  for (const auto& token : tokens)
    set.digests_.push_back(secretDigest(token));
  return set;
}

BootstrapTokens BootstrapTokens::fromFile(const std::filesystem::path& file) {
  std::vector<std::string> tokens = tokensIn(readFile(file));
  if (tokens.empty()) {
    throw VEKError("The bootstrap token file " + file.string() + " lists no token.");
  }
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    if (tokens[i].size() < kMinimumTokenLength) {
      throw VEKError("Token " + std::to_string(i + 1) + " of the bootstrap token file " +
                     file.string() + " is shorter than " + std::to_string(kMinimumTokenLength) +
                     " characters; use long random tokens (for example `openssl rand -hex 32`).");
    }
  }
  return of(tokens);
}

BootstrapTokens BootstrapTokens::generatedIn(const std::filesystem::path& file, bool& created) {
  created = false;
  if (::access(file.c_str(), F_OK) == 0) return fromFile(file);
  if (errno != ENOENT) throw SystemError("Cannot read", file, errno);

  // Write beside the final name, flush, then link it into place, so a crash never leaves an
  // empty token file. Linking never replaces: relays sharing the directory that start together
  // all end up with the one token that got there first.
  std::string token = newSecret();
  std::filesystem::path temporary = file;
  temporary += ".tmp-" + randomUUID();
  {
    UniqueFd fd = createPrivateFile(temporary);
    writeFully(fd.get(), token + "\n", temporary);
    syncFile(fd.get(), temporary);
  }
  int linked = ::link(temporary.c_str(), file.c_str());
  int error = errno;
  removeQuietly(temporary);
  if (linked != 0 && error == EEXIST) return fromFile(file);
  if (linked != 0) throw SystemError("Cannot create", file, error);
  created = true;
  return of({token});
}

bool BootstrapTokens::accepts(std::string_view token) const {
  std::string digest = secretDigest(token);
  bool accepted = false;
  for (const auto& known : digests_)
    accepted |= digestsEqual(digest, known);
  return accepted;
}

}  // namespace vek::relay_server
