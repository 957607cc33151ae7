// How the stores write the relay's values into database columns and read them back, the same in
// SQLite and PostgreSQL: times as whole numbers (seconds since 1970, milliseconds for lease
// deadlines) and job states by name.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "foundation/errors.h"
#include "relay_server/store.h"

namespace vek::relay_server {

inline std::int64_t stored(Timestamp time) {
  return time.time_since_epoch().count();
}
inline std::int64_t stored(Instant time) {
  return time.time_since_epoch().count();
}
inline Timestamp timestampOf(std::int64_t seconds) {
  return Timestamp(std::chrono::seconds(seconds));
}
inline Instant instantOf(std::int64_t milliseconds) {
  return Instant(std::chrono::milliseconds(milliseconds));
}

/// The state a job row names. Throws VEKError for a name no state has.
inline JobState storedState(const std::string& name) {
  std::optional<JobState> state = jobStateNamed(name);
  if (!state)
    throw VEKError("The relay database holds a job in the unknown state \"" + name + "\".");
  return *state;
}

}  // namespace vek::relay_server
