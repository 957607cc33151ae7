// The jobs this Mac has taken for installing, remembered so that no job is installed twice.
//
// A relay hands the receiver each job once. A relay that hands it a job again, a recording of an
// earlier deployment, would roll the phone back to that build with nobody asking: the sealed
// manifest still names this job, this Mac, this phone and this mode. So the receiver remembers
// every job from the moment it takes it for installing (an install cut short by a crash counts),
// and refuses a job it remembers. Sealed builds are also refused once they are older than a relay
// keeps a build (`sealedBuildLifetime`); the memory outlives that by far, so a replay meets one
// rule or the other.
//
// The memory is "received-jobs.json" in the state directory: one JSON object from job id to the
// time the job was received, in whole seconds since 1970. It is replaced whole on every change
// (`Paths::atomicWrite`, 0600), so a crash leaves the old memory or the new one, and entries older
// than `receivedJobMemory` are dropped then. One agent per user runs installs, and within a
// process a lock orders them. A file that is not such an object (edited by hand, say) is started
// afresh rather than blocking every install; the age rule still holds meanwhile.
#pragma once

#include <chrono>
#include <string_view>

namespace vek::BuildPipeline {

/// How long a received job is remembered: 30 days, four times as long as a job's folder is kept.
inline constexpr std::chrono::hours receivedJobMemory{24 * 30};

/// How old a sealed build may be when it is installed: the 24 hours a relay keeps a build, plus
/// 6 hours for a long upload and for clocks that disagree.
inline constexpr std::chrono::hours sealedBuildLifetime{24 + 6};

/// Remembers the job `id` as received at `now`. Throws VEKError "This Mac already received this
/// job once; a relay that offers it again may be replaying an old build, so it is refused." when
/// `id` is remembered already (the memory is then left as it was), and SystemError when the memory
/// cannot be read or written.
void admitReceivedJob(std::string_view id,
                      std::chrono::system_clock::time_point now = std::chrono::system_clock::now());

}  // namespace vek::BuildPipeline
