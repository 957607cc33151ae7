// Plist through libplist 2.2.
//
// libplist reports no errors: a parse that fails yields a null node, which is the only signal
// checked. Its values are converted into our own value at once and the library's tree freed.
//
// Dates need care. libplist keeps a date internally with 64-bit seconds since 2001, but hands it
// out through a 32-bit field, which silently wraps outside 1932-2069. Its XML writer, though,
// renders the full value, so a date is read from that rendering (whole seconds) plus the
// microseconds the 32-bit accessor gives exactly. Writing has no such route: a date outside the
// 32-bit range is refused rather than written wrong.
#include "foundation/plist.h"

#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>

#include "foundation/errors.h"
#include "foundation/file.h"
#include "foundation/plist_shape.h"

namespace vek {

namespace {

// Seconds from the Unix epoch to libplist's, 2001-01-01T00:00:00Z.
constexpr std::int64_t appleEpoch = 978307200;

struct NodeDeleter {
  void operator()(void* node) const noexcept { plist_free(static_cast<plist_t>(node)); }
};
using Node = std::unique_ptr<void, NodeDeleter>;

struct Freed {
  char* text = nullptr;
  ~Freed() { std::free(text); }
};

[[noreturn]] void notAPropertyList() {
  throw DecodingError("Not a valid property list");
}

// "[-]Y...-MM-DDTHH:MM:SSZ" as the XML writer renders it, in seconds since the Unix epoch.
std::int64_t parseRenderedDate(std::string_view text) {
  auto number = [&](std::size_t& at, std::size_t width, char after) {
    std::int64_t value = 0;
    const char* end = text.data() + (width ? std::min(at + width, text.size()) : text.size());
    auto [next, failure] = std::from_chars(text.data() + at, end, value);
    if (failure != std::errc() || next == text.data() + at) notAPropertyList();
    at = static_cast<std::size_t>(next - text.data());
    if (at >= text.size() || text[at] != after) notAPropertyList();
    ++at;
    return value;
  };
  std::size_t at = 0;
  const std::int64_t year = number(at, 0, '-');
  const std::int64_t month = number(at, 2, '-');
  const std::int64_t day = number(at, 2, 'T');
  const std::int64_t hour = number(at, 2, ':');
  const std::int64_t minute = number(at, 2, ':');
  const std::int64_t second = number(at, 2, 'Z');
  if (year < -32767 || year > 32767) notAPropertyList();
  const std::chrono::year_month_day date{std::chrono::year(static_cast<int>(year)),
                                         std::chrono::month(static_cast<unsigned>(month)),
                                         std::chrono::day(static_cast<unsigned>(day))};
  if (!date.ok() || hour > 23 || minute > 59 || second > 60) notAPropertyList();
  return std::chrono::sys_days(date).time_since_epoch().count() * 86400 + hour * 3600 +
         minute * 60 + second;
}

Plist::Date dateOf(plist_t node) {
  char* rendered = nullptr;
  std::uint32_t length = 0;
  plist_to_xml(node, &rendered, &length);
  if (!rendered) notAPropertyList();
  const std::string xml(rendered, length);
  plist_to_xml_free(rendered);
  const std::size_t open = xml.find("<date>");
  const std::size_t close = xml.find("</date>");
  if (open == std::string::npos || close == std::string::npos || close < open) notAPropertyList();
  const std::int64_t seconds = parseRenderedDate(xml.substr(open + 6, close - open - 6));
  std::int32_t truncated = 0;
  std::int32_t micros = 0;
  plist_get_date_val(node, &truncated, &micros);
  return Plist::Date(std::chrono::seconds(seconds) + std::chrono::microseconds(micros));
}

Plist fromNode(plist_t node) {
  switch (plist_get_node_type(node)) {
    case PLIST_DICT: {
      Plist::Dictionary members;
      plist_dict_iter iterator = nullptr;
      plist_dict_new_iter(node, &iterator);
      struct FreeIterator {
        plist_dict_iter iterator;
        ~FreeIterator() { std::free(iterator); }
      } freeIterator{iterator};
      while (true) {
        Freed key;
        plist_t value = nullptr;
        plist_dict_next_item(node, iterator, &key.text, &value);
        if (!value) break;
        if (!key.text) notAPropertyList();
        members.insert_or_assign(std::string(key.text), fromNode(value));
      }
      return Plist(std::move(members));
    }
    case PLIST_ARRAY: {
      Plist::Array elements;
      plist_array_iter iterator = nullptr;
      plist_array_new_iter(node, &iterator);
      struct FreeIterator {
        plist_array_iter iterator;
        ~FreeIterator() { std::free(iterator); }
      } freeIterator{iterator};
      while (true) {
        plist_t element = nullptr;
        plist_array_next_item(node, iterator, &element);
        if (!element) break;
        elements.push_back(fromNode(element));
      }
      return Plist(std::move(elements));
    }
    case PLIST_STRING: {
      std::uint64_t length = 0;
      const char* value = plist_get_string_ptr(node, &length);
      return value ? Plist(std::string(value, length)) : Plist(std::string());
    }
    case PLIST_BOOLEAN: {
      std::uint8_t value = 0;
      plist_get_bool_val(node, &value);
      return Plist(value != 0);
    }
    case PLIST_UINT: {
      std::uint64_t value = 0;
      plist_get_uint_val(node, &value);
      return Plist(static_cast<std::int64_t>(value));
    }
    case PLIST_REAL: {
      double value = 0;
      plist_get_real_val(node, &value);
      return Plist(value);
    }
    case PLIST_DATE:
      return Plist(dateOf(node));
    case PLIST_DATA: {
      std::uint64_t length = 0;
      const char* value = plist_get_data_ptr(node, &length);
      return Plist(Plist::Data{value ? std::string(value, length) : std::string()});
    }
    case PLIST_UID:
      throw DecodingError("Keyed-archive UIDs are not supported in property lists");
    default:
      notAPropertyList();
  }
}

Node toNode(const Plist& value) {
  auto checked = [](plist_t node) {
    if (!node) throw std::bad_alloc();
    return Node(node);
  };
  switch (value.kind()) {
    case Plist::Kind::dictionary: {
      Node dictionary = checked(plist_new_dict());
      for (const auto& [key, member] : value.fields()) {
        if (key.find('\0') != std::string::npos) {
          throw DecodingError("A property-list key cannot hold a NUL character");
        }
        Node child = toNode(member);
        plist_dict_set_item(dictionary.get(), key.c_str(), child.release());
      }
      return dictionary;
    }
    case Plist::Kind::array: {
      Node array = checked(plist_new_array());
      for (const Plist& element : value.items()) {
        plist_array_append_item(array.get(), toNode(element).release());
      }
      return array;
    }
    case Plist::Kind::string:
      if (value.text().find('\0') != std::string::npos) {
        throw DecodingError("A property-list string cannot hold a NUL character");
      }
      return checked(plist_new_string(value.text().c_str()));
    case Plist::Kind::integer:
      return checked(plist_new_uint(static_cast<std::uint64_t>(*value.integer())));
    case Plist::Kind::real:
      return checked(plist_new_real(*value.real()));
    case Plist::Kind::boolean:
      return checked(plist_new_bool(value.flag() ? 1 : 0));
    case Plist::Kind::date: {
      using namespace std::chrono;
      const microseconds sinceEpoch = value.date()->time_since_epoch() - seconds(appleEpoch);
      const seconds whole = floor<seconds>(sinceEpoch);
      if (whole.count() < std::numeric_limits<std::int32_t>::min() ||
          whole.count() > std::numeric_limits<std::int32_t>::max()) {
        throw DecodingError("A property-list date must lie between 1932 and 2069");
      }
      return checked(plist_new_date(static_cast<std::int32_t>(whole.count()),
                                    static_cast<std::int32_t>((sinceEpoch - whole).count())));
    }
    case Plist::Kind::data: {
      const std::string& bytes = value.data()->bytes;
      return checked(plist_new_data(bytes.data(), bytes.size()));
    }
    case Plist::Kind::absent:
      break;
  }
  throw DecodingError("An absent value cannot be written to a property list");
}

}  // namespace

const Plist& Plist::operator[](std::string_view key) const noexcept {
  static const Plist absent;
  if (const auto* members = std::get_if<Dictionary>(&value_)) {
    if (auto found = members->find(key); found != members->end()) return found->second;
  }
  return absent;
}

const std::string& Plist::text() const noexcept {
  static const std::string empty;
  const auto* value = std::get_if<std::string>(&value_);
  return value ? *value : empty;
}

bool Plist::flag() const noexcept {
  const auto* value = std::get_if<bool>(&value_);
  return value && *value;
}

std::optional<std::int64_t> Plist::integer() const noexcept {
  const auto* value = std::get_if<std::int64_t>(&value_);
  return value ? std::optional(*value) : std::nullopt;
}

std::optional<double> Plist::real() const noexcept {
  const auto* value = std::get_if<double>(&value_);
  return value ? std::optional(*value) : std::nullopt;
}

const Plist::Data* Plist::data() const noexcept {
  return std::get_if<Data>(&value_);
}

std::optional<Plist::Date> Plist::date() const noexcept {
  const auto* value = std::get_if<Date>(&value_);
  return value ? std::optional(*value) : std::nullopt;
}

const Plist::Dictionary& Plist::fields() const noexcept {
  static const Dictionary empty;
  const auto* value = std::get_if<Dictionary>(&value_);
  return value ? *value : empty;
}

const Plist::Array& Plist::items() const noexcept {
  static const Array empty;
  const auto* value = std::get_if<Array>(&value_);
  return value ? *value : empty;
}

Plist& Plist::set(std::string_view key, Plist member) {
  if (isAbsent()) value_ = Dictionary{};
  auto* members = std::get_if<Dictionary>(&value_);
  if (!members) throw std::logic_error("Plist::set on a value that is not a dictionary");
  members->insert_or_assign(std::string(key), std::move(member));
  return *this;
}

Plist Plist::decode(std::string_view bytes) {
  if (bytes.size() > maxBytes) throw DecodingError("Property list is too large");
  if (plist_shape::isBinary(bytes)) {
    plist_shape::checkBinary(bytes, maxDepth, maxValues);
  } else {
    // Some tools end their XML output with a NUL, as a C string.
    while (bytes.ends_with('\0'))
      bytes.remove_suffix(1);
    plist_shape::checkXML(bytes, maxDepth);
  }
  plist_t parsed = nullptr;
  plist_from_memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &parsed);
  if (!parsed) notAPropertyList();
  Node owner(parsed);
  return fromNode(parsed);
}

Plist Plist::readFile(const std::filesystem::path& path) {
  const UniqueFd file = openFile(path, O_RDONLY);
  struct stat status {};
  if (::fstat(file.get(), &status) != 0) throw SystemError("Cannot read", path, errno);
  // Sized by fstat, grown while the file goes on; one byte beyond the limit tells a file at the
  // limit from a longer one.
  const auto expected = static_cast<std::size_t>(std::max<off_t>(status.st_size, 0));
  std::size_t capacity = std::min(expected, maxBytes) + 1;
  std::string bytes;
  while (true) {
    const std::size_t have = bytes.size();
    bytes.resize(capacity);
    bytes.resize(have + readFully(file.get(), bytes.data() + have, capacity - have, path));
    if (bytes.size() < capacity || capacity > maxBytes) break;
    capacity = std::min(capacity * 2, maxBytes + 1);
  }
  if (bytes.size() > maxBytes) {
    throw DecodingError("Cannot read property list " + path.string() + ": it is too large");
  }
  try {
    return decode(bytes);
  } catch (const DecodingError& error) {
    throw DecodingError("Cannot read property list " + path.string() + ": " + error.what());
  }
}

std::string Plist::xml() const {
  Node root = toNode(*this);
  char* rendered = nullptr;
  std::uint32_t length = 0;
  plist_to_xml(root.get(), &rendered, &length);
  if (!rendered) throw DecodingError("Cannot write the property list");
  std::string text(rendered, length);
  plist_to_xml_free(rendered);
  return text;
}

}  // namespace vek
