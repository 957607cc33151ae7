// JSON.decode: nlohmann-json's SAX parser feeding our own JSON value.
//
// The parser validates syntax and UTF-8 and reports every value through a callback; the handler
// below keeps a stack of the containers still open, each with the key it will be stored under,
// adds each finished value to the innermost one, and moves a container into its parent when it
// closes.
// Numbers of every lexical kind become doubles. Nesting is bounded so that neither building,
// rendering nor destroying a hostile document can exhaust the stack.
#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>
#include <string>

#include "foundation/errors.h"
#include "foundation/json.h"

namespace vek {

namespace {

constexpr std::size_t kMaxDepth = 512;

class Builder {
 public:
  using Json = nlohmann::json;

  JSON root;
  std::string failure;
  // How many bytes the parser had read when it reported a syntax error; 0 for other failures.
  std::size_t failedAfter = 0;

  bool null() { return add(JSON()); }
  bool boolean(bool value) { return add(JSON(value)); }
  bool number_integer(Json::number_integer_t value) {
    return add(JSON(static_cast<double>(value)));
  }
  bool number_unsigned(Json::number_unsigned_t value) {
    return add(JSON(static_cast<double>(value)));
  }
  bool number_float(Json::number_float_t value, const Json::string_t& literal) {
    if (!std::isfinite(value)) {
      failure = "Number " + literal + " is not representable";
      return false;
    }
    return add(JSON(value));
  }
  bool string(Json::string_t& value) { return add(JSON(std::move(value))); }
  bool binary(Json::binary_t&) {
    failure = "Binary values are not JSON";
    return false;
  }
  bool start_object(std::size_t) { return open(JSON(JSON::Object{})); }
  bool key(Json::string_t& value) {
    key_ = std::move(value);
    return true;
  }
  bool end_object() { return close(); }
  bool start_array(std::size_t) { return open(JSON(JSON::Array{})); }
  bool end_array() { return close(); }
  bool parse_error(std::size_t position, const std::string&,
                   const nlohmann::detail::exception& error) {
    failedAfter = position;
    std::string reason = error.what();
    // Drop the library's "[json.exception.parse_error.101] " tag; keep its sentence.
    if (auto end = reason.find("] "); reason.starts_with("[json.") && end != std::string::npos) {
      reason.erase(0, end + 2);
    }
    failure = reason;
    return false;
  }

 private:
  struct Open {
    JSON container;
    std::string key;  // where the container goes in its parent, when that is an object
  };
  std::vector<Open> open_;
  std::string key_;

  bool add(JSON value) {
    if (open_.empty()) {
      root = std::move(value);
    } else if (open_.back().container.isArray()) {
      open_.back().container.push(std::move(value));
    } else {
      open_.back().container.set(key_, std::move(value));
    }
    return true;
  }
  bool open(JSON container) {
    if (open_.size() >= kMaxDepth) {
      failure = "JSON nesting is deeper than 512 levels";
      return false;
    }
    open_.push_back({std::move(container), std::move(key_)});
    return true;
  }
  bool close() {
    Open finished = std::move(open_.back());
    open_.pop_back();
    key_ = std::move(finished.key);
    return add(std::move(finished.container));
  }
};

// The failure for a NUL byte at `offset`, placed as the parser places its own.
std::string nulFailure(std::string_view text, std::size_t offset) {
  std::string_view before = text.substr(0, offset);
  std::size_t line = 1 + static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
  std::size_t lineStart = before.rfind('\n');
  std::size_t column = offset - (lineStart == std::string_view::npos ? 0 : lineStart + 1) + 1;
  return "parse error at line " + std::to_string(line) + ", column " + std::to_string(column) +
         ": unexpected NUL byte";
}

}  // namespace

JSON JSON::decode(std::string_view text) {
  return decode(text, "The data is not valid JSON");
}

JSON JSON::decode(std::string_view text, std::string_view subject) {
  Builder builder;
  bool ok = nlohmann::json::sax_parse(text.begin(), text.end(), &builder,
                                      nlohmann::json::input_format_t::json, true, false);
  // The parser takes a NUL byte for the end of its input, so "[]\0anything" would pass as "[]".
  // A NUL is never valid JSON: when the parse got as far as the first one, that byte is the fault.
  if (std::size_t nul = text.find('\0');
      nul != std::string_view::npos && (ok || builder.failedAfter > nul)) {
    throw DecodingError(std::string(subject) + ": " + nulFailure(text, nul));
  }
  if (!ok) {
    throw DecodingError(std::string(subject) + ": " +
                        (builder.failure.empty() ? std::string("parse failed") : builder.failure));
  }
  return std::move(builder.root);
}

}  // namespace vek
