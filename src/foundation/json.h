// JSON: the dynamic value every layer exchanges (relay requests and answers, command output,
// device and project summaries, manifests, status files).
//
// A value is one of six cases, in this order: object, array, string, number, bool, null. Every
// number is a 64-bit double (integers beyond 2^53 lose precision, as on the wire). The accessors
// never fail: asked for the wrong case they yield a neutral value (empty text, empty map, 0,
// false, null), so callers read loosely-typed relay answers without ceremony.
//
// Two renderings exist. `data()` is the compact wire form (no spaces, "/" escaped as "\/",
// integral numbers without a fraction); `pretty()` is what people and scripts read (two-space
// indent, `"key" : value`, keys sorted, slashes bare).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace vek {

class JSON {
 public:
  using Object = std::map<std::string, JSON, std::less<>>;
  using Array = std::vector<JSON>;

  /// The six cases, in their defined order; the position is also what hashing feeds first.
  enum class Kind { object = 0, array = 1, string = 2, number = 3, boolean = 4, null = 5 };

  JSON() noexcept : value_(nullptr) {}
  JSON(std::nullptr_t) noexcept : value_(nullptr) {}
  JSON(Object value) : value_(std::move(value)) {}
  JSON(Array value) : value_(std::move(value)) {}
  JSON(std::string value) : value_(std::move(value)) {}
  JSON(std::string_view value) : value_(std::string(value)) {}
  JSON(const char* value) : value_(std::string(value)) {}
  JSON(double value) noexcept : value_(value) {}
  JSON(int value) noexcept : value_(static_cast<double>(value)) {}
  JSON(std::int64_t value) noexcept : value_(static_cast<double>(value)) {}
  JSON(std::uint64_t value) noexcept : value_(static_cast<double>(value)) {}
  JSON(bool value) noexcept : value_(value) {}
  /// An object from key/value pairs: JSON::object({{"ok", true}}).
  static JSON object(std::initializer_list<std::pair<const std::string, JSON>> members = {});
  /// An array from elements: JSON::array({1, "two"}).
  static JSON array(std::initializer_list<JSON> elements = {});
  /// An array of string values, one per input string, in order.
  static JSON strings(const std::vector<std::string>& values);

  /// Parses UTF-8 JSON text. Any value may stand at the top level. Numbers become doubles; true
  /// and false are the only booleans. Throws DecodingError (with the parser's reason) on bad
  /// syntax (a NUL byte anywhere included), invalid UTF-8, a number outside the double range or
  /// nesting deeper than 512.
  static JSON decode(std::string_view text);
  /// Parses as `decode(text)`; a failure's message names what was decoded: `subject` (for
  /// instance "The stored VEK credentials are not valid JSON"), ": " and the parser's reason.
  static JSON decode(std::string_view text, std::string_view subject);

  Kind kind() const noexcept { return static_cast<Kind>(value_.index()); }
  bool isObject() const noexcept { return kind() == Kind::object; }
  bool isArray() const noexcept { return kind() == Kind::array; }
  bool isString() const noexcept { return kind() == Kind::string; }
  bool isNumber() const noexcept { return kind() == Kind::number; }
  bool isBool() const noexcept { return kind() == Kind::boolean; }
  bool isNull() const noexcept { return kind() == Kind::null; }

  /// The member `key` of an object; null for a missing key or when this is not an object.
  const JSON& operator[](std::string_view key) const noexcept;
  /// The payload of a string; absent for every other case.
  std::optional<std::string> string() const;
  /// The payload of a string; the empty string for every other case.
  const std::string& text() const noexcept;
  /// The payload of an object; an empty map otherwise.
  const Object& fields() const noexcept;
  /// The payload of an array; an empty sequence otherwise.
  const Array& items() const noexcept;
  /// The payload of a bool; false otherwise (a number is never a flag).
  bool flag() const noexcept;
  /// The payload of a number; 0 otherwise.
  double doubleValue() const noexcept;
  /// The payload of a number truncated toward zero; 0 for other cases and for NaN. Values beyond
  /// the int64 range saturate at its ends, so a cursor built from them never wraps around.
  std::int64_t integer() const noexcept;

  /// Sets the member `key` of an object (null becomes an empty object first) and returns this
  /// value, so calls chain. Other cases throw std::logic_error.
  JSON& set(std::string_view key, JSON member);
  /// Appends to an array (null becomes an empty array first); other cases throw std::logic_error.
  void push(JSON element);

  /// Compact wire rendering: no whitespace, "/" escaped as "\/", integral numbers without a
  /// fraction, other numbers in their shortest round-trip form. Throws DecodingError when a
  /// number is not finite (JSON has no spelling for it).
  std::string data() const;
  /// Human rendering: two-space indent, `"key" : value`, keys sorted, slashes bare. Never fails;
  /// a value that cannot be rendered gives "null".
  std::string pretty() const;

  friend bool operator==(const JSON& a, const JSON& b) noexcept { return a.value_ == b.value_; }
  /// Hash fed with the case position first, then the payload (+0 and -0 hash alike).
  std::size_t hash() const noexcept;

 private:
  std::variant<Object, Array, std::string, double, bool, std::nullptr_t> value_;
};

}  // namespace vek

template <>
struct std::hash<vek::JSON> {
  std::size_t operator()(const vek::JSON& value) const noexcept { return value.hash(); }
};
