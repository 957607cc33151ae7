// The states of a job and their names.
//
// A job is "building" until its builder finishes the build, then "installing" until its receiver
// finishes, and ends "succeeded", "failed" or "cancelled". Inside the relay a state is a
// JobState; its name appears only where the relay talks to clients (JSON) and to its database.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace vek::relay_server {

enum class JobState { building, installing, succeeded, failed, cancelled };

/// Every state, in the order above.
inline constexpr std::array kJobStates = {JobState::building, JobState::installing,
                                          JobState::succeeded, JobState::failed,
                                          JobState::cancelled};

/// The state's name as clients and the database know it ("building").
std::string_view nameOf(JobState state) noexcept;

/// The state called `name`; absent for any other text.
std::optional<JobState> jobStateNamed(std::string_view name) noexcept;

/// True for the states after which a job never changes again.
bool isTerminal(JobState state) noexcept;

}  // namespace vek::relay_server
