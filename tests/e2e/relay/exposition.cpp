#include "exposition.h"

#include <cmath>
#include <cstdlib>
#include <set>
#include <vector>

namespace vek::e2e {

namespace {

struct Failure : std::runtime_error {
  Failure(std::size_t line, const std::string& what)
      : std::runtime_error("line " + std::to_string(line) + ": " + what) {}
};

bool isNameStart(char c, bool colon) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || (colon && c == ':');
}

bool isNameChar(char c, bool colon) {
  return isNameStart(c, colon) || (c >= '0' && c <= '9');
}

// Reads a metric name (colon allowed) or a label name (not) at `at`.
std::string name(const std::string& line, std::size_t& at, bool colon) {
  std::size_t start = at;
  if (at >= line.size() || !isNameStart(line[at], colon)) return "";
  while (at < line.size() && isNameChar(line[at], colon))
    ++at;
  return line.substr(start, at - start);
}

double parseValue(const std::string& text, std::size_t lineNumber) {
  if (text == "+Inf") return INFINITY;
  if (text == "-Inf") return -INFINITY;
  if (text == "NaN") return NAN;
  if (text.empty()) throw Failure(lineNumber, "no value");
  char* end = nullptr;
  double value = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || text.find_first_of("xXnNiI") != std::string::npos) {
    throw Failure(lineNumber, "\"" + text + "\" is not a number");
  }
  return value;
}

struct Sample {
  std::string name;
  std::map<std::string, std::string> labels;
  double value = 0;
};

std::string seriesKey(const std::string& metric, const std::map<std::string, std::string>& labels) {
  std::string key = metric;
  if (labels.empty()) return key;
  key += '{';
  bool first = true;
  for (const auto& [label, value] : labels) {
    if (!first) key += ',';
    first = false;
    key += label + "=\"" + value + "\"";
  }
  return key + '}';
}

Sample parseSample(const std::string& line, std::size_t number) {
  Sample sample;
  std::size_t at = 0;
  sample.name = name(line, at, true);
  if (sample.name.empty()) throw Failure(number, "no metric name");
  if (at < line.size() && line[at] == '{') {
    ++at;
    while (true) {
      if (at < line.size() && line[at] == '}') {
        ++at;
        break;
      }
      std::string label = name(line, at, false);
      if (label.empty()) throw Failure(number, "bad label name");
      if (label.starts_with("__")) throw Failure(number, "reserved label name " + label);
      if (at + 1 >= line.size() || line[at] != '=' || line[at + 1] != '"') {
        throw Failure(number, "label " + label + " needs =\"value\"");
      }
      at += 2;
      std::string value;
      while (true) {
        if (at >= line.size()) throw Failure(number, "unterminated label value");
        char c = line[at++];
        if (c == '"') break;
        if (c == '\\') {
          if (at >= line.size()) throw Failure(number, "unterminated escape");
          char escaped = line[at++];
          if (escaped == 'n') {
            value += '\n';
          } else if (escaped == '\\' || escaped == '"') {
            value += escaped;
          } else {
            throw Failure(number, std::string("bad escape \\") + escaped);
          }
        } else {
          value += c;
        }
      }
      if (!sample.labels.emplace(label, value).second) {
        throw Failure(number, "label " + label + " given twice");
      }
      if (at < line.size() && line[at] == ',') {
        ++at;
      } else if (at >= line.size() || line[at] != '}') {
        throw Failure(number, "expected , or } after a label");
      }
    }
  }
  if (at >= line.size() || line[at] != ' ')
    throw Failure(number, "expected a space before the value");
  ++at;
  std::size_t end = line.find(' ', at);
  sample.value = parseValue(line.substr(at, end - at), number);
  if (end != std::string::npos) {
    std::string timestamp = line.substr(end + 1);
    if (timestamp.empty() || timestamp.find_first_not_of("-0123456789") != std::string::npos) {
      throw Failure(number, "bad timestamp \"" + timestamp + "\"");
    }
  }
  return sample;
}

// The family a sample belongs to: histograms own their _bucket, _sum and _count series.
std::string familyOf(const std::string& metric, const std::map<std::string, std::string>& types) {
  for (const char* suffix : {"_bucket", "_sum", "_count"}) {
    std::string s = suffix;
    if (metric.size() > s.size() && metric.ends_with(s)) {
      std::string base = metric.substr(0, metric.size() - s.size());
      auto type = types.find(base);
      if (type != types.end() && (type->second == "histogram" || type->second == "summary")) {
        return base;
      }
    }
  }
  return metric;
}

void checkHistograms(const Exposition& exposition, const std::vector<Sample>& samples) {
  for (const auto& [family, type] : exposition.types) {
    if (type != "histogram") continue;
    // Buckets per label set (without le), in order of appearance.
    std::map<std::string, std::vector<std::pair<double, double>>> buckets;
    for (const auto& sample : samples) {
      if (sample.name != family + "_bucket") continue;
      auto le = sample.labels.find("le");
      if (le == sample.labels.end()) throw std::runtime_error(family + ": a bucket without le");
      auto rest = sample.labels;
      rest.erase("le");
      buckets[seriesKey(family, rest)].emplace_back(parseValue(le->second, 0), sample.value);
    }
    if (buckets.empty()) throw std::runtime_error(family + ": a histogram without buckets");
    for (const auto& [series, list] : buckets) {
      for (std::size_t i = 1; i < list.size(); ++i) {
        if (!(list[i].first > list[i - 1].first)) {
          throw std::runtime_error(series + ": bucket bounds not increasing");
        }
        if (list[i].second < list[i - 1].second) {
          throw std::runtime_error(series + ": buckets not cumulative");
        }
      }
      if (!std::isinf(list.back().first)) throw std::runtime_error(series + ": no +Inf bucket");
      std::string countSeries = series;
      countSeries.insert(family.size(), "_count");
      std::string sumSeries = series;
      sumSeries.insert(family.size(), "_sum");
      auto count = exposition.value(countSeries);
      if (!count || *count != list.back().second) {
        throw std::runtime_error(series + ": _count missing or not the +Inf bucket");
      }
      if (!exposition.value(sumSeries)) throw std::runtime_error(series + ": _sum missing");
    }
  }
}

}  // namespace

std::optional<double> Exposition::value(const std::string& series) const {
  auto found = samples.find(series);
  if (found == samples.end()) return std::nullopt;
  return found->second;
}

Exposition parseExposition(const std::string& text) {
  Exposition exposition;
  if (!text.empty() && !text.ends_with("\n")) throw std::runtime_error("no final line break");
  std::set<std::string> helped;
  std::set<std::string> closedFamilies;
  std::set<std::string> sampledFamilies;
  std::string currentFamily;
  std::vector<Sample> samples;
  std::size_t number = 0;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    std::string line = text.substr(start, end - start);
    start = end + 1;
    ++number;
    if (line.find('\r') != std::string::npos) throw Failure(number, "carriage return");
    if (line.empty()) continue;
    if (line[0] == '#') {
      if (!line.starts_with("# HELP ") && !line.starts_with("# TYPE ")) continue;  // a comment
      std::size_t at = 7;
      std::string metric = name(line, at, true);
      if (metric.empty() || (at < line.size() && line[at] != ' ')) {
        throw Failure(number, "bad metric name in " + line.substr(0, 6));
      }
      if (line.starts_with("# HELP ")) {
        if (!helped.insert(metric).second) throw Failure(number, "second HELP for " + metric);
        continue;
      }
      std::string type = at < line.size() ? line.substr(at + 1) : "";
      static const std::set<std::string> kTypes = {"counter", "gauge", "histogram", "summary",
                                                   "untyped"};
      if (!kTypes.count(type)) throw Failure(number, "unknown type \"" + type + "\"");
      if (exposition.types.count(metric)) throw Failure(number, "second TYPE for " + metric);
      if (sampledFamilies.count(metric)) throw Failure(number, "TYPE after samples of " + metric);
      exposition.types[metric] = type;
      continue;
    }
    Sample sample = parseSample(line, number);
    std::string family = familyOf(sample.name, exposition.types);
    if (family != currentFamily) {
      if (closedFamilies.count(family)) throw Failure(number, family + " is split in two");
      if (!currentFamily.empty()) closedFamilies.insert(currentFamily);
      currentFamily = family;
    }
    sampledFamilies.insert(family);
    auto type = exposition.types.find(family);
    bool histogram = type != exposition.types.end() && type->second == "histogram";
    if (sample.labels.count("le") && !(histogram && sample.name == family + "_bucket")) {
      throw Failure(number, "le outside a histogram bucket");
    }
    std::string key = seriesKey(sample.name, sample.labels);
    if (!exposition.samples.emplace(key, sample.value).second) {
      throw Failure(number, "series " + key + " repeated");
    }
    samples.push_back(std::move(sample));
  }
  checkHistograms(exposition, samples);
  return exposition;
}

}  // namespace vek::e2e
