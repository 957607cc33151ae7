// Plist: a property list as a plain value (Info.plist files, decoded provisioning profiles,
// signed entitlements, export options).
//
// A value is one of eight cases: dictionary (text keys), array, string, integer, real, bool,
// date, data; a ninth, absent, is what a lookup of a missing key yields, so readers walk a loosely
// shaped document without ceremony, as with JSON. Dates stay dates: a point in time to the
// microsecond, compared as time, never as text.
//
// Reading goes through libplist (XML and binary, told apart by the "bplist00" magic). Before the
// bytes reach libplist they pass a shape check of our own, because libplist recurses once per
// nesting level and expands every reference of a binary list anew: a few hundred hostile bytes
// could otherwise exhaust the stack or ask for billions of nodes. Writing produces an XML
// property list, also through libplist.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace vek {

class Plist {
 public:
  using Dictionary = std::map<std::string, Plist, std::less<>>;
  using Array = std::vector<Plist>;
  /// A point in time, microseconds since the Unix epoch (UTC).
  using Date = std::chrono::sys_time<std::chrono::microseconds>;
  /// Raw bytes (a <data> element).
  struct Data {
    std::string bytes;
    friend bool operator==(const Data&, const Data&) = default;
  };

  enum class Kind { absent, dictionary, array, string, integer, real, boolean, date, data };

  /// Largest document `decode` and `readFile` accept.
  static constexpr std::size_t maxBytes = 4 * 1024 * 1024;
  /// Deepest nesting of elements accepted (the top level counts as 1).
  static constexpr std::size_t maxDepth = 256;
  /// Most values a binary document may expand to once its shared references are followed.
  static constexpr std::size_t maxValues = 1'000'000;

  Plist() noexcept : value_(std::monostate{}) {}
  Plist(Dictionary value) : value_(std::move(value)) {}
  Plist(Array value) : value_(std::move(value)) {}
  Plist(std::string value) : value_(std::move(value)) {}
  Plist(std::string_view value) : value_(std::string(value)) {}
  Plist(const char* value) : value_(std::string(value)) {}
  Plist(std::int64_t value) noexcept : value_(value) {}
  Plist(int value) noexcept : value_(std::int64_t{value}) {}
  Plist(double value) noexcept : value_(value) {}
  Plist(bool value) noexcept : value_(value) {}
  Plist(Date value) noexcept : value_(value) {}
  Plist(Data value) : value_(std::move(value)) {}

  /// Parses an XML or binary property list. Any value may stand at the top level. Integers are
  /// read as signed 64-bit values (libplist keeps them unsigned; values above 2^63 - 1 wrap).
  /// Throws DecodingError for anything that is not a property list, for a document larger than
  /// `maxBytes`, nested deeper than `maxDepth`, expanding to more than `maxValues` values or
  /// holding a keyed-archive UID.
  static Plist decode(std::string_view bytes);

  /// The property list in the file at `path`. Throws SystemError when the file cannot be read and
  /// DecodingError, naming the path, as `decode`.
  static Plist readFile(const std::filesystem::path& path);

  /// The XML rendering (Apple's DOCTYPE, tab indentation). Throws DecodingError for a value that
  /// has no spelling: an absent value anywhere, a string holding a NUL character, a date before
  /// 1932-12-13 or after 2069-01-19 (libplist writes dates as 32-bit seconds since 2001).
  std::string xml() const;

  Kind kind() const noexcept { return static_cast<Kind>(value_.index()); }
  bool isAbsent() const noexcept { return kind() == Kind::absent; }
  bool isDictionary() const noexcept { return kind() == Kind::dictionary; }
  bool isArray() const noexcept { return kind() == Kind::array; }
  bool isString() const noexcept { return kind() == Kind::string; }

  /// The member `key` of a dictionary; absent for a missing key or when this is no dictionary.
  const Plist& operator[](std::string_view key) const noexcept;
  /// The payload of a string; the empty string for every other case.
  const std::string& text() const noexcept;
  /// True only for the bool true.
  bool flag() const noexcept;
  /// The payload of an integer; absent for every other case.
  std::optional<std::int64_t> integer() const noexcept;
  /// The payload of a real; absent for every other case.
  std::optional<double> real() const noexcept;
  /// The payload of a data value; null for every other case.
  const Data* data() const noexcept;
  /// The payload of a date; absent for every other case.
  std::optional<Date> date() const noexcept;
  /// The payload of a dictionary; an empty one otherwise.
  const Dictionary& fields() const noexcept;
  /// The payload of an array; an empty one otherwise.
  const Array& items() const noexcept;

  /// Sets the member `key` of a dictionary (an absent value becomes an empty dictionary first)
  /// and returns this value, so calls chain. Other cases throw std::logic_error.
  Plist& set(std::string_view key, Plist member);

  friend bool operator==(const Plist& a, const Plist& b) = default;

 private:
  std::variant<std::monostate, Dictionary, Array, std::string, std::int64_t, double, bool, Date,
               Data>
      value_;
};

}  // namespace vek
