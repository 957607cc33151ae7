// The two renderings of a JSON value.
//
// Both walk the value once into one output string. They differ only in layout: `data` is
// compact and escapes "/" as "\/" (the wire form), `pretty` indents by two spaces, puts a space
// on each side of the colon, sorts keys (our objects are ordered maps, so iteration order is
// already sorted) and leaves slashes bare. Integral numbers are written without a fraction;
// others with std::to_chars' shortest form that reads back to the same double.
#include <charconv>
#include <cmath>

#include "foundation/errors.h"
#include "foundation/json.h"
#include "foundation/text.h"

namespace vek {

namespace {

struct Style {
  bool pretty;
};

void writeNumber(std::string& out, double number) {
  if (!std::isfinite(number))
    throw DecodingError("JSON cannot represent the number " + std::to_string(number));
  char buffer[32];
  std::to_chars_result result;
  // Integral values print as integers while they fit an int64 exactly; larger ones keep the
  // shortest round-trip form, which uses an exponent.
  if (number == std::trunc(number) && std::fabs(number) < 9.2e18) {
    if (number == 0 && std::signbit(number)) {
      out += "-0";
      return;
    }
    result = std::to_chars(buffer, buffer + sizeof buffer, static_cast<long long>(number));
  } else {
    result = std::to_chars(buffer, buffer + sizeof buffer, number);
  }
  out.append(buffer, result.ptr);
}

void writeString(std::string& out, const std::string& raw, const Style& style) {
  static constexpr char kHex[] = "0123456789abcdef";
  // JSON text is UTF-8; a string holding stray bytes is written with them replaced.
  std::string repaired;
  if (!text::isValidUTF8(raw)) repaired = text::decodeUTF8Lossy(raw);
  const std::string& text = repaired.empty() ? raw : repaired;
  out += '"';
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '/':
        out += style.pretty ? "/" : "\\/";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out += kHex[c >> 4];
          out += kHex[c & 0xF];
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
}

void newline(std::string& out, const Style& style, int depth) {
  if (!style.pretty) return;
  out += '\n';
  out.append(static_cast<std::size_t>(depth) * 2, ' ');
}

void write(std::string& out, const JSON& value, const Style& style, int depth) {
  switch (value.kind()) {
    case JSON::Kind::object: {
      const auto& members = value.fields();
      if (members.empty()) {
        out += "{}";
        return;
      }
      out += '{';
      bool first = true;
      for (const auto& [key, member] : members) {
        if (!first) out += ',';
        first = false;
        newline(out, style, depth + 1);
        writeString(out, key, style);
        out += style.pretty ? " : " : ":";
        write(out, member, style, depth + 1);
      }
      newline(out, style, depth);
      out += '}';
      return;
    }
    case JSON::Kind::array: {
      const auto& elements = value.items();
      if (elements.empty()) {
        out += "[]";
        return;
      }
      out += '[';
      bool first = true;
      for (const auto& element : elements) {
        if (!first) out += ',';
        first = false;
        newline(out, style, depth + 1);
        write(out, element, style, depth + 1);
      }
      newline(out, style, depth);
      out += ']';
      return;
    }
    case JSON::Kind::string:
      writeString(out, value.text(), style);
      return;
    case JSON::Kind::number:
      writeNumber(out, value.doubleValue());
      return;
    case JSON::Kind::boolean:
      out += value.flag() ? "true" : "false";
      return;
    case JSON::Kind::null:
      out += "null";
      return;
  }
}

}  // namespace

std::string JSON::data() const {
  std::string out;
  write(out, *this, Style{false}, 0);
  return out;
}

std::string JSON::pretty() const {
  try {
    std::string out;
    write(out, *this, Style{true}, 0);
    return out;
  } catch (const DecodingError&) {
    return "null";
  }
}

}  // namespace vek
