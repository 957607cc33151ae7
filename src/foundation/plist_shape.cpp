// The XML check follows libplist's own tokenizer closely enough to never count fewer levels than
// it will recurse through: regions libplist skips (comments, processing instructions, DOCTYPE
// with its internal subset, CDATA) are skipped here exactly as far, and start tags are counted
// even inside them.
//
// The binary check walks the object table the way the format defines it (trailer, offset table,
// object references) and computes, once per object, how deep it nests and how many values it
// expands to; memoising both keeps the walk linear in the size of the file however often objects
// are shared.
#include "foundation/plist_shape.h"

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/errors.h"

namespace vek::plist_shape {

namespace {

constexpr std::string_view binaryMagic = "bplist00";
constexpr std::size_t trailerSize = 32;

[[noreturn]] void tooDeep() {
  throw DecodingError("Property list is nested too deeply");
}

[[noreturn]] void malformed() {
  throw DecodingError("Not a valid binary property list");
}

std::uint64_t readBigEndian(std::string_view bytes, std::size_t at, std::size_t width) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < width; ++i) {
    value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  }
  return value;
}

// End of the region that starts with "<!" or "<?" at `at`, as libplist skips it; the whole
// document when it never ends (libplist then fails, and nothing after it matters).
std::size_t skippedRegionEnd(std::string_view bytes, std::size_t at) {
  auto after = [&](std::string_view marker, std::size_t from) {
    std::size_t found = bytes.find(marker, from);
    return found == std::string_view::npos ? bytes.size() : found + marker.size();
  };
  std::string_view rest = bytes.substr(at);
  if (rest.starts_with("<?")) return after("?>", at + 2);
  if (rest.starts_with("<!--")) return after("-->", at + 4);
  if (rest.starts_with("<![CDATA[")) return after("]]>", at + 9);
  // A DOCTYPE, or any other declaration: up to its '>', or past its internal subset when a '['
  // comes first.
  std::size_t stop = bytes.find_first_of("[>", at + 2);
  if (stop == std::string_view::npos) return bytes.size();
  if (bytes[stop] == '>') return stop + 1;
  return after("]>", stop);
}

class BinaryWalker {
 public:
  BinaryWalker(std::string_view bytes, std::size_t maxDepth, std::size_t maxValues)
      : bytes_(bytes), maxDepth_(maxDepth), maxValues_(maxValues) {}

  void run() {
    if (bytes_.size() < binaryMagic.size() + trailerSize) malformed();
    const std::size_t trailer = bytes_.size() - trailerSize;
    offsetWidth_ = static_cast<unsigned char>(bytes_[trailer + 6]);
    referenceWidth_ = static_cast<unsigned char>(bytes_[trailer + 7]);
    const std::uint64_t objects = readBigEndian(bytes_, trailer + 8, 8);
    const std::uint64_t top = readBigEndian(bytes_, trailer + 16, 8);
    const std::uint64_t table = readBigEndian(bytes_, trailer + 24, 8);
    if (offsetWidth_ < 1 || offsetWidth_ > 8 || referenceWidth_ < 1 || referenceWidth_ > 8) {
      malformed();
    }
    if (table < binaryMagic.size() || table > trailer) malformed();
    if (objects == 0 || objects > (trailer - table) / offsetWidth_ || top >= objects) malformed();
    table_ = static_cast<std::size_t>(table);
    objects_ = static_cast<std::size_t>(objects);
    height_.assign(objects_, 0);
    values_.assign(objects_, 0);
    state_.assign(objects_, State::unvisited);
    visit(static_cast<std::size_t>(top), 1);
  }

 private:
  enum class State : std::uint8_t { unvisited, open, done };

  std::size_t offsetOf(std::size_t object) const {
    std::uint64_t offset = readBigEndian(bytes_, table_ + object * offsetWidth_, offsetWidth_);
    if (offset < binaryMagic.size() || offset >= table_) malformed();
    return static_cast<std::size_t>(offset);
  }

  // The position after an object's marker and the count that follows it (elements, characters
  // or bytes): the marker's low four bits, or an integer object after it when those are all set.
  std::pair<std::size_t, std::uint64_t> counted(std::size_t at) const {
    std::uint64_t count = static_cast<unsigned char>(bytes_[at++]) & 0x0F;
    if (count == 0x0F) {
      if (at >= table_) malformed();
      const unsigned char sizeMarker = static_cast<unsigned char>(bytes_[at++]);
      if ((sizeMarker >> 4) != 0x1 || (sizeMarker & 0x0F) > 3) malformed();
      const std::size_t width = std::size_t{1} << (sizeMarker & 0x0F);
      if (width > table_ - at) malformed();
      count = readBigEndian(bytes_, at, width);
      at += width;
    }
    return {at, count};
  }

  // The references an object holds: none for scalars; the elements of an array or set; the keys
  // and then the values of a dictionary. Returns the position of the first and their number.
  std::pair<std::size_t, std::uint64_t> references(std::size_t object) const {
    const std::size_t offset = offsetOf(object);
    const unsigned type = static_cast<unsigned char>(bytes_[offset]) >> 4;
    if (type != 0xA && type != 0xB && type != 0xC && type != 0xD) return {offset + 1, 0};
    auto [at, count] = counted(offset);
    const std::uint64_t room = (table_ - at) / referenceWidth_;
    if (count > room || (type == 0xD && count > room / 2)) malformed();
    if (type == 0xD) {
      for (std::uint64_t i = 0; i < count; ++i) {
        checkKey(readBigEndian(bytes_, at + i * referenceWidth_, referenceWidth_));
      }
    }
    return {at, type == 0xD ? count * 2 : count};
  }

  // A dictionary key must be a string (ASCII or UTF-16) without a NUL character: libplist 2.2
  // asserts that a key's length matches its C string length, and aborts otherwise.
  void checkKey(std::uint64_t key) const {
    if (key >= objects_) malformed();
    const std::size_t offset = offsetOf(static_cast<std::size_t>(key));
    const unsigned type = static_cast<unsigned char>(bytes_[offset]) >> 4;
    if (type != 0x5 && type != 0x6) malformed();
    auto [at, count] = counted(offset);
    const std::uint64_t unit = type == 0x5 ? 1 : 2;
    if (count > (table_ - at) / unit) malformed();
    const std::string_view text = bytes_.substr(at, static_cast<std::size_t>(count * unit));
    for (std::size_t i = 0; i < text.size(); i += unit) {
      if (text[i] == '\0' && (unit == 1 || text[i + 1] == '\0')) {
        throw DecodingError("A property-list key holds a NUL character");
      }
    }
  }

  void visit(std::size_t object, std::size_t depth) {
    if (state_[object] == State::done) {
      if (depth - 1 + height_[object] > maxDepth_) tooDeep();
      return;
    }
    if (state_[object] == State::open) malformed();  // a cycle
    if (depth > maxDepth_) tooDeep();
    state_[object] = State::open;
    auto [at, count] = references(object);
    std::size_t height = 1;
    std::size_t values = 1;
    for (std::uint64_t i = 0; i < count; ++i) {
      const std::uint64_t child = readBigEndian(bytes_, at + i * referenceWidth_, referenceWidth_);
      if (child >= objects_) malformed();
      const auto index = static_cast<std::size_t>(child);
      visit(index, depth + 1);
      height = std::max(height, height_[index] + 1);
      values += values_[index];
      if (values > maxValues_) {
        throw DecodingError("Property list holds too many values");
      }
    }
    height_[object] = height;
    values_[object] = values;
    state_[object] = State::done;
  }

  std::string_view bytes_;
  std::size_t maxDepth_;
  std::size_t maxValues_;
  std::size_t offsetWidth_ = 0;
  std::size_t referenceWidth_ = 0;
  std::size_t table_ = 0;
  std::size_t objects_ = 0;
  std::vector<std::size_t> height_;
  std::vector<std::size_t> values_;
  std::vector<State> state_;
};

}  // namespace

bool isBinary(std::string_view bytes) noexcept {
  return bytes.starts_with(binaryMagic);
}

void checkXML(std::string_view bytes, std::size_t maxDepth) {
  if (bytes.find('\0') != std::string_view::npos) {
    throw DecodingError("A property list in XML cannot hold a NUL character");
  }
  std::size_t depth = 0;
  std::size_t skipUntil = 0;
  for (std::size_t at = bytes.find('<'); at != std::string_view::npos;
       at = bytes.find('<', at + 1)) {
    const char next = at + 1 < bytes.size() ? bytes[at + 1] : '\0';
    const bool skipped = at < skipUntil;
    if (next == '!' || next == '?') {
      if (!skipped) skipUntil = skippedRegionEnd(bytes, at);
      continue;
    }
    if (next == '/') {
      if (!skipped && depth > 0) --depth;
      continue;
    }
    const std::size_t end = bytes.find_first_of("<>", at + 1);
    const bool empty = end != std::string_view::npos && bytes[end] == '>' && bytes[end - 1] == '/';
    if (!empty && ++depth > maxDepth) tooDeep();
  }
}

void checkBinary(std::string_view bytes, std::size_t maxDepth, std::size_t maxValues) {
  BinaryWalker(bytes, maxDepth, maxValues).run();
}

}  // namespace vek::plist_shape
