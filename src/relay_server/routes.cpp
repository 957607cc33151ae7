#include "relay_server/routes.h"

#include <limits>
#include <vector>

#include "relay_server/http_error.h"
#include "relay_server/requests.h"

namespace vek::relay_server {

namespace {

// The value of the first parameter called `name` in a query ("a=1&b=2"); empty for a bare name,
// absent when the query has no such parameter.
std::optional<std::string_view> queryValue(std::string_view query, std::string_view name) {
  while (!query.empty()) {
    std::size_t amp = query.find('&');
    std::string_view pair = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    std::size_t equals = pair.find('=');
    if (pair.substr(0, equals) != name) continue;
    return equals == std::string_view::npos ? std::string_view() : pair.substr(equals + 1);
  }
  return std::nullopt;
}

// Matches `path` against `pattern`; on success stores the {id} segment (if any) in `id`.
bool matches(std::string_view pattern, std::string_view path, std::string& id) {
  while (!pattern.empty() && !path.empty()) {
    if (pattern.starts_with("{id}")) {
      std::size_t end = path.find('/');
      std::string_view segment = path.substr(0, end);
      if (segment.empty()) return false;
      id = std::string(segment);
      pattern.remove_prefix(4);
      path.remove_prefix(segment.size());
      continue;
    }
    if (pattern.front() != path.front()) return false;
    pattern.remove_prefix(1);
    path.remove_prefix(1);
  }
  return pattern.empty() && path.empty();
}

}  // namespace

RouteMatch matchRoute(std::span<const Route> routes, std::string_view method,
                      std::string_view target) {
  std::size_t question = target.find('?');
  std::string_view path = target.substr(0, question);
  std::string query(question == std::string_view::npos ? "" : target.substr(question + 1));
  bool pathKnown = false;
  for (const Route& route : routes) {
    std::string id;
    if (!matches(route.path, path, id)) continue;
    pathKnown = true;
    if (route.method == method) return {&route, lowerASCII(id), std::move(query)};
  }
  std::string shown = loggableTarget(path);
  if (pathKnown) {
    throw HttpError(
        405, "The relay does not accept " + loggableTarget(method) + " requests on " + shown + ".");
  }
  throw HttpError(404, "The relay has no endpoint " + shown + ".");
}

std::string allowedMethods(std::span<const Route> routes, std::string_view target) {
  std::string_view path = target.substr(0, target.find('?'));
  std::string methods;
  for (const Route& route : routes) {
    std::string id;
    if (!matches(route.path, path, id)) continue;
    if (!methods.empty()) methods += ", ";
    methods += route.method;
  }
  return methods;
}

std::optional<std::int64_t> afterCursor(std::string_view query) {
  if (std::optional<std::string_view> value = queryValue(query, "after")) {
    if (value->empty() || value->find_first_not_of("0123456789") != std::string_view::npos) {
      throw HttpError(400, "The query parameter \"after\" must be a whole number of at least 0.");
    }
    constexpr std::int64_t largest = std::numeric_limits<std::int64_t>::max();
    std::int64_t cursor = 0;
    for (char digit : *value) {
      int d = digit - '0';
      if (cursor > (largest - d) / 10) return largest;
      cursor = cursor * 10 + d;
    }
    return cursor;
  }
  return std::nullopt;
}

std::optional<std::chrono::milliseconds> waitParameter(std::string_view query) {
  std::optional<std::string_view> value = queryValue(query, "wait");
  if (!value) return std::nullopt;
  auto refuse = [] {
    return HttpError(400, "The query parameter \"wait\" must be a number of seconds from 0 to " +
                              std::to_string(kMaxWait.count()) + ", such as 5 or 2.5.");
  };
  std::size_t dot = value->find('.');
  std::string_view whole = value->substr(0, dot);
  std::string_view fraction =
      dot == std::string_view::npos ? std::string_view() : value->substr(dot + 1);
  bool digitsOnly = whole.find_first_not_of("0123456789") == std::string_view::npos &&
                    fraction.find_first_not_of("0123456789") == std::string_view::npos;
  if (whole.empty() || !digitsOnly || (dot != std::string_view::npos && fraction.empty())) {
    throw refuse();
  }
  std::int64_t milliseconds = 0;
  for (char digit : whole) {
    milliseconds = milliseconds * 10 + (digit - '0');
    if (milliseconds > kMaxWait.count()) throw refuse();
  }
  milliseconds *= 1000;
  std::int64_t scale = 100;
  for (char digit : fraction.substr(0, 3)) {
    milliseconds += (digit - '0') * scale;
    scale /= 10;
  }
  bool beyond = milliseconds > kMaxWait.count() * 1000 ||
                (milliseconds == kMaxWait.count() * 1000 &&
                 fraction.find_first_not_of('0') != std::string_view::npos);
  if (beyond) throw refuse();
  return std::chrono::milliseconds(milliseconds);
}

std::string loggableTarget(std::string_view target) {
  std::size_t question = target.find('?');
  std::string shown;
  auto append = [&shown](std::string_view text) {
    static constexpr char digits[] = "0123456789abcdef";
    for (char c : text) {
      auto byte = static_cast<unsigned char>(c);
      if (byte < 0x21 || byte > 0x7E || byte == '\\' || byte == '"') {
        shown += "\\x";
        shown += digits[byte >> 4];
        shown += digits[byte & 0xF];
      } else {
        shown += c;
      }
    }
  };
  append(target.substr(0, question));
  if (question == std::string_view::npos) return shown;
  shown += '?';
  std::string_view query = target.substr(question + 1);
  bool first = true;
  while (!query.empty()) {
    std::size_t amp = query.find('&');
    std::string_view pair = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    if (!first) shown += '&';
    first = false;
    append(pair.substr(0, pair.find('=')));
  }
  return shown;
}

}  // namespace vek::relay_server
