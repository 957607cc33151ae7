#include "relay_server/job_state.h"

#include "foundation/constants.h"

namespace vek::relay_server {

std::string_view nameOf(JobState state) noexcept {
  switch (state) {
    case JobState::building:
      return "building";
    case JobState::installing:
      return "installing";
    case JobState::succeeded:
      return "succeeded";
    case JobState::failed:
      return "failed";
    case JobState::cancelled:
      return "cancelled";
  }
  return "unknown";
}

std::optional<JobState> jobStateNamed(std::string_view name) noexcept {
  for (JobState state : kJobStates) {
    if (nameOf(state) == name) return state;
  }
  return std::nullopt;
}

bool isTerminal(JobState state) noexcept {
  return VEK::isTerminal(nameOf(state));
}

}  // namespace vek::relay_server
