// What a held request waits for: a wake-up topic.
//
// Two things make a waiting client's answer change: work became claimable for a Mac (a job was
// queued for it as builder, or moved to "installing" for it as receiver), and a job changed (a
// progress message was posted, or its state moved). A topic names one of them and the id it
// concerns. Its text form ("device:<id>", "job:<id>") is stable: relay processes that share one
// database hand topics to each other in it, so a process of another version must read it too.
//
// This file knows nothing of Asio, so the request layer (and its fuzzers) can name topics.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vek::relay_server {

struct Topic {
  enum class Kind { device, job };

  Kind kind = Kind::device;
  /// A device or job id, lower-case, as the relay stores it.
  std::string id;

  /// Work became claimable for the device `deviceId`.
  static Topic claimable(std::string deviceId) { return {Kind::device, std::move(deviceId)}; }
  /// The job `jobId` has a new event or a new state.
  static Topic jobChanged(std::string jobId) { return {Kind::job, std::move(jobId)}; }

  /// "device:<id>" or "job:<id>".
  std::string text() const;

  /// The topic whose text is `text`; absent for anything else (an unknown kind, an empty id, or
  /// an id with characters other than lower-case hexadecimal digits and hyphens, or longer than
  /// 64 characters).
  static std::optional<Topic> parse(std::string_view text);

  bool operator==(const Topic&) const = default;
};

}  // namespace vek::relay_server
