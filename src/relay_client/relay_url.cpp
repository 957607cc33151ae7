#include "relay_client/relay_url.h"

#include <arpa/inet.h>

#include <cctype>
#include <string>

#include "foundation/errors.h"

namespace vek {

namespace {

bool isAlpha(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isDigit(char c) {
  return c >= '0' && c <= '9';
}
bool isHexDigit(char c) {
  return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
bool isUnreserved(char c) {
  return isAlpha(c) || isDigit(c) || c == '-' || c == '.' || c == '_' || c == '~';
}
bool isSubDelimiter(char c) {
  return std::string_view("!$&'()*+,;=").find(c) != std::string_view::npos;
}
// RFC 3986 pchar without the percent escape, which is checked separately.
bool isPathCharacter(char c) {
  return isUnreserved(c) || isSubDelimiter(c) || c == ':' || c == '@';
}

// True when every character of a path, query or fragment is allowed there and every "%" starts a
// two-digit escape. `extra` lists the delimiters allowed in this component besides pchar.
bool isWellFormed(std::string_view component, std::string_view extra) {
  for (std::size_t i = 0; i < component.size(); ++i) {
    char c = component[i];
    if (c == '%') {
      if (i + 2 >= component.size()) return false;
      if (!isHexDigit(component[i + 1]) || !isHexDigit(component[i + 2])) return false;
      i += 2;
    } else if (!isPathCharacter(c) && extra.find(c) == std::string_view::npos) {
      return false;
    }
  }
  return true;
}

struct Authority {
  std::string host;  // without brackets
  std::string port;  // digits, possibly empty
  bool bracketed = false;
};

// Parses host[:port] (no user part). A registered name may hold only unreserved characters; an
// IPv6 literal must be a valid address in brackets; a port is 1 to 5 digits no larger than 65535.
std::optional<Authority> parseAuthority(std::string_view text) {
  Authority result;
  std::string_view rest;
  if (!text.empty() && text.front() == '[') {
    auto close = text.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    std::string literal(text.substr(1, close - 1));
    in6_addr address;
    if (literal.empty() || inet_pton(AF_INET6, literal.c_str(), &address) != 1) return std::nullopt;
    result.host = literal;
    result.bracketed = true;
    rest = text.substr(close + 1);
  } else {
    auto colon = text.find(':');
    std::string_view host = text.substr(0, colon);
    for (char c : host) {
      if (!isUnreserved(c)) return std::nullopt;
    }
    result.host = std::string(host);
    rest = colon == std::string_view::npos ? std::string_view() : text.substr(colon);
  }
  if (result.host.empty()) return std::nullopt;
  if (!rest.empty()) {
    if (rest.front() != ':') return std::nullopt;
    std::string_view port = rest.substr(1);
    if (port.empty() || port.size() > 5) return std::nullopt;
    unsigned value = 0;
    for (char c : port) {
      if (!isDigit(c)) return std::nullopt;
      value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > 65535) return std::nullopt;
    result.port = std::string(port);
  }
  return result;
}

// RFC 3986 section 5.2.4, for an absolute path.
std::string removeDotSegments(std::string_view input) {
  std::string output;
  while (!input.empty()) {
    if (input.starts_with("../")) {
      input.remove_prefix(3);
    } else if (input.starts_with("./")) {
      input.remove_prefix(2);
    } else if (input.starts_with("/./")) {
      input.remove_prefix(2);
    } else if (input == "/.") {
      input = "/";
    } else if (input.starts_with("/../") || input == "/..") {
      input = input.size() == 3 ? std::string_view("/") : input.substr(3);
      auto slash = output.rfind('/');
      output.erase(slash == std::string::npos ? 0 : slash);
    } else if (input == "." || input == "..") {
      input = {};
    } else {
      auto next = input.find('/', input.front() == '/' ? 1 : 0);
      std::string_view segment = input.substr(0, next);
      output += segment;
      input.remove_prefix(segment.size());
    }
  }
  return output;
}

[[noreturn]] void invalidPath() {
  throw VEKError("Invalid API path");
}

}  // namespace

std::optional<RelayOrigin> RelayOrigin::parse(std::string_view text) {
  // scheme ":" "//" authority [ "/" ]
  auto colon = text.find(':');
  if (colon == std::string_view::npos || colon == 0 || !isAlpha(text.front())) return std::nullopt;
  std::string_view scheme = text.substr(0, colon);
  for (char c : scheme) {
    if (!isAlpha(c) && !isDigit(c) && c != '+' && c != '-' && c != '.') return std::nullopt;
  }
  std::string_view rest = text.substr(colon + 1);
  if (!rest.starts_with("//")) return std::nullopt;  // no authority, so no host
  rest.remove_prefix(2);
  auto end = rest.find_first_of("/?#");
  std::string_view authorityText = rest.substr(0, end);
  std::string_view tail = end == std::string_view::npos ? std::string_view() : rest.substr(end);
  if (authorityText.find('@') != std::string_view::npos) return std::nullopt;
  if (!tail.empty() && tail != "/") return std::nullopt;

  auto authority = parseAuthority(authorityText);
  if (!authority) return std::nullopt;
  if (scheme == "http") {
    const std::string& host = authority->host;
    bool loopback =
        authority->bracketed ? host == "::1" : host == "localhost" || host == "127.0.0.1";
    if (!loopback) return std::nullopt;
  } else if (scheme != "https") {
    return std::nullopt;
  }
  return RelayOrigin{std::string(text), std::string(scheme), authority->host, authority->port};
}

std::string RelayOrigin::authority() const {
  std::string result = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  if (!port.empty()) result += ":" + port;
  return result;
}

std::string RelayOrigin::resolve(std::string_view path) const {
  if (!path.starts_with("/")) invalidPath();
  std::string_view reference = path;
  if (reference.starts_with("//")) {
    reference.remove_prefix(2);
    auto end = reference.find_first_of("/?#");
    auto other = parseAuthority(reference.substr(0, end));
    if (!other || other->host != host || other->port != port) invalidPath();
    reference = end == std::string_view::npos ? std::string_view() : reference.substr(end);
  }
  auto fragmentStart = reference.find('#');
  std::string_view fragment;
  if (fragmentStart != std::string_view::npos) {
    fragment = reference.substr(fragmentStart + 1);
    reference = reference.substr(0, fragmentStart);
  }
  auto queryStart = reference.find('?');
  std::string_view pathPart = reference.substr(0, queryStart);
  std::string_view query =
      queryStart == std::string_view::npos ? std::string_view() : reference.substr(queryStart);
  if (!isWellFormed(pathPart, "/") ||
      !isWellFormed(query.empty() ? query : query.substr(1), "/?") || !isWellFormed(fragment, "/?"))
    invalidPath();

  std::string resolved = removeDotSegments(pathPart);
  if (resolved.empty()) resolved = "/";
  return scheme + "://" + authority() + resolved + std::string(query);
}

std::string pathSegment(std::string_view id) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  const bool dotSegment = id == "." || id == "..";
  std::string segment;
  for (unsigned char c : id) {
    bool unreserved =
        std::isalnum(c) || c == '-' || c == '_' || c == '~' || (c == '.' && !dotSegment);
    if (unreserved) {
      segment += static_cast<char>(c);
    } else {
      segment += '%';
      segment += kHex[c >> 4];
      segment += kHex[c & 0xF];
    }
  }
  return segment;
}

}  // namespace vek
