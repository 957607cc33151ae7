// A strict reader of the Prometheus text exposition format (version 0.0.4), so a test fails on
// anything a Prometheus server would refuse or misread: bad names, bad escapes, a TYPE after its
// samples, a family split in two, a repeated series, a histogram whose buckets do not add up.
#pragma once

#include <map>
#include <optional>
#include <stdexcept>
#include <string>

namespace vek::e2e {

struct Exposition {
  /// Family name to its declared type.
  std::map<std::string, std::string> types;
  /// Series ("name" or "name{a=\"x\",b=\"y\"}" with labels sorted by name) to its value.
  std::map<std::string, double> samples;

  /// The value of a series, labels given in the series form above; absent when not exposed.
  std::optional<double> value(const std::string& series) const;
};

/// Parses `text`; throws std::runtime_error naming the line and what is wrong with it.
Exposition parseExposition(const std::string& text);

}  // namespace vek::e2e
