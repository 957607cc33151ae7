// The hint `vek run --wait` gives when the job waits for a Mac that has gone quiet.
//
// A job in "building" waits for its builder, one in "installing" for its receiver; if that Mac's
// agent is not running, nothing visible happens and a person cannot tell a slow build from one
// that will never start. So while the job waits, the hint looks at the group (GET /v1/group, at
// most every 15 seconds, and at once when the job moves on to another Mac) and, when the Mac the
// job waits for has not reported to the relay for longer than the agent's liveness window (45
// seconds), says so once: "Mac B has not reported for 2 minutes; the job waits for it". The hint
// only adds to the wait: a failed group request is ignored (a cancellation is not), and the job
// record's members are read as untrusted text.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "foundation/json.h"
#include "relay_client/api.h"

namespace vek::cli {

class QuietMacHint {
 public:
  /// `print` receives each hint (one line, without its line break).
  QuietMacHint(const API& api, std::function<void(std::string_view)> print);

  /// Looks at the job record of one pass of the wait and prints a hint when one is due.
  void observe(const JSON& job);

  /// "45 seconds", "1 minute", "2 minutes", "3 hours", "2 days": `seconds` in the largest unit
  /// that fits whole, rounded down.
  static std::string duration(std::int64_t seconds);

 private:
  const API& api_;
  std::function<void(std::string_view)> print_;
  std::set<std::string> told_;
  std::string lastMac_;
  std::optional<std::chrono::steady_clock::time_point> nextLook_;
};

}  // namespace vek::cli
