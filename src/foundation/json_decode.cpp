// JSON.decode: nlohmann-json's SAX parser feeding our own JSON value.
//
// The parser validates syntax and UTF-8 and reports every value through a callback; the handler
// below keeps a stack of the containers still open, each with the key it will be stored under,
// adds each finished value to the innermost one, and moves a container into its parent when it
// closes.
// Numbers of every lexical kind become doubles. Nesting is bounded so that neither building,
// rendering nor destroying a hostile document can exhaust the stack.
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
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& error) {
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

}  // namespace

JSON JSON::decode(std::string_view text) {
  Builder builder;
  bool ok = nlohmann::json::sax_parse(text.begin(), text.end(), &builder,
                                      nlohmann::json::input_format_t::json, true, false);
  if (!ok) {
    throw DecodingError("The data is not valid JSON: " +
                        (builder.failure.empty() ? std::string("parse failed") : builder.failure));
  }
  return std::move(builder.root);
}

}  // namespace vek
