// Following a job until it ends: what `vek run --wait` and `vek logs --follow` do.
//
// Each pass asks for the job's events after the cursor, prints their messages, then asks for the
// job itself; a job in a terminal state ends the wait, anything else pauses 3 seconds and tries
// again until the deadline. The cursor only ever grows, so each event is printed once even when a
// relay repeats old events or sends ids out of order.
//
// The events request asks the relay to hold it for up to the pause: a relay that can answers as
// soon as the job has an event or a new state, and says so by naming the wait in its answer. With
// such a relay the pass itself was the pause, so the next one follows at once: each line is
// printed when it is posted, the wait ends when the job does, and the job's state is still looked
// at at least every 3 seconds. A relay that answers at once gets the pauses as before.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

#include "foundation/json.h"
#include "relay_client/api.h"

namespace vek::cli {

struct WaitSettings {
  /// Between two passes.
  std::chrono::milliseconds pause{3000};
  /// Receives each event's message ("" for an event without one); standard error by default.
  std::function<void(std::string_view)> printEvent;
  /// Sees the job record of every pass that does not end the wait; may throw to end it.
  std::function<void(const JSON&)> onPass;
};

/// Waits for job `id` to reach a terminal state and returns its record when that is "succeeded".
/// With `follow`, streams the job's event messages as they arrive. Throws VEKError "Job <id>
/// <state>: <error text>" for a failed or cancelled job, VEKError "Timed out waiting for job <id>.
/// The job continues; use vek job <id> to inspect it." once `timeoutSeconds` have passed (the job
/// is left running), every error of a relay request at once, and CancellationError.
JSON waitForJob(const API& api, const std::string& id, double timeoutSeconds, bool follow,
                const WaitSettings& settings = {});

}  // namespace vek::cli
