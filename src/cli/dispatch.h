#pragma once

#include "cli/arguments.h"
#include "cli/commands.h"

namespace vek::cli {

/// Picks the command from the first one or two positionals, checks enrolment where the command
/// needs the group, runs it and returns what it printed (nothing for `agent run`).
Result execute(const Arguments& arguments);

}  // namespace vek::cli
