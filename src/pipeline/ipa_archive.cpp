#include "pipeline/ipa_archive.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "foundation/errors.h"

namespace vek::BuildPipeline {

namespace {

constexpr std::uint32_t kLocalHeader = 0x04034b50;
constexpr std::uint32_t kCentralHeader = 0x02014b50;
constexpr std::uint32_t kEndRecord = 0x06054b50;
constexpr std::uint32_t kZip64EndRecord = 0x06064b50;
constexpr std::uint32_t kZip64Locator = 0x07064b50;

constexpr std::size_t kEndRecordSize = 22;
constexpr std::size_t kMaxComment = 0xFFFF;
constexpr std::size_t kZip64LocatorSize = 20;
constexpr std::size_t kZip64EndRecordSize = 56;
constexpr std::size_t kCentralHeaderSize = 46;
constexpr std::size_t kLocalHeaderSize = 30;
// Room for the largest central record (46 bytes and three fields of up to 65,535 bytes each).
constexpr std::size_t kWindow = 256 * 1024;
constexpr std::size_t kInflateChunk = 256 * 1024;

constexpr std::uint16_t kZip64Extra = 0x0001;
constexpr std::uint16_t kUnicodePathExtra = 0x7075;
constexpr std::uint16_t kUnixExtra = 0x756e;

// Traditional encryption, strong encryption, and a masked (encrypted) central directory.
constexpr std::uint16_t kEncryptionFlags = 0x0001 | 0x0040 | 0x2000;
constexpr std::uint16_t kDataDescriptor = 0x0008;

constexpr std::uint32_t kUnset32 = 0xFFFFFFFF;
constexpr std::uint16_t kUnset16 = 0xFFFF;

[[noreturn]] void malformed(const std::string& reason) {
  throw DecodingError("The IPA is not a zip archive VEK can read: " + reason + ".");
}

std::uint16_t u16(std::string_view bytes, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[at]) |
                                    static_cast<unsigned char>(bytes[at + 1]) << 8);
}

std::uint32_t u32(std::string_view bytes, std::size_t at) {
  return static_cast<std::uint32_t>(u16(bytes, at)) | static_cast<std::uint32_t>(u16(bytes, at + 2))
                                                          << 16;
}

std::uint64_t u64(std::string_view bytes, std::size_t at) {
  return static_cast<std::uint64_t>(u32(bytes, at)) | static_cast<std::uint64_t>(u32(bytes, at + 4))
                                                          << 32;
}

// The fields of an entry's extra data that matter here. Each may appear once: two of them would
// leave it to the reader which one counts.
struct ExtraFields {
  std::optional<std::string_view> zip64;
  std::optional<std::string_view> unicodePath;
  std::optional<std::string_view> unix;
};

// Splits an extra field into its records. Fewer than four bytes left over are padding some
// writers add; a record that runs past the field is damage.
ExtraFields extraFields(std::string_view extra) {
  ExtraFields fields;
  while (extra.size() >= 4) {
    const std::uint16_t id = u16(extra, 0);
    const std::size_t length = u16(extra, 2);
    if (length > extra.size() - 4) malformed("an entry's extra field runs past its end");
    const std::string_view data = extra.substr(4, length);
    extra.remove_prefix(4 + length);
    std::optional<std::string_view>* slot = id == kZip64Extra         ? &fields.zip64
                                            : id == kUnicodePathExtra ? &fields.unicodePath
                                            : id == kUnixExtra        ? &fields.unix
                                                                      : nullptr;
    if (!slot) continue;
    if (*slot) malformed("an entry repeats an extra field");
    *slot = data;
  }
  return fields;
}

// Reads the zip64 values of an entry, in the order the format gives them, for the fields whose
// 32-bit (or 16-bit) value is the "see zip64" marker.
class Zip64Values {
 public:
  explicit Zip64Values(std::optional<std::string_view> field) : field_(field) {}
  void resolve(std::uint64_t& value, std::uint64_t marker, std::size_t width) {
    if (value != marker) return;
    if (!field_ || field_->size() - at_ < width) {
      malformed("an entry lacks the zip64 values its header announces");
    }
    value = width == 8 ? u64(*field_, at_) : u32(*field_, at_);
    at_ += width;
  }

 private:
  std::optional<std::string_view> field_;
  std::size_t at_ = 0;
};

IpaEntry parseCentralRecord(std::string_view record, std::uint64_t directoryOffset) {
  const std::size_t nameLength = u16(record, 28);
  const std::size_t extraLength = u16(record, 30);
  IpaEntry entry;
  entry.flags = u16(record, 8);
  entry.method = u16(record, 10);
  entry.compressedSize = u32(record, 20);
  entry.uncompressedSize = u32(record, 24);
  std::uint64_t disk = u16(record, 34);
  entry.mode = u32(record, 38) >> 16;
  entry.localHeaderOffset = u32(record, 42);
  entry.name.assign(record.substr(kCentralHeaderSize, nameLength));

  const ExtraFields extra =
      extraFields(record.substr(kCentralHeaderSize + nameLength, extraLength));
  Zip64Values zip64(extra.zip64);
  zip64.resolve(entry.uncompressedSize, kUnset32, 8);
  zip64.resolve(entry.compressedSize, kUnset32, 8);
  zip64.resolve(entry.localHeaderOffset, kUnset32, 8);
  zip64.resolve(disk, kUnset16, 4);
  if (disk != 0) malformed("it spans several volumes");
  // Version, then the CRC-32 of the header's name, then the name in UTF-8.
  if (extra.unicodePath) {
    if (extra.unicodePath->size() < 5) malformed("an entry's Unicode name field is cut short");
    entry.unicodeName.emplace(extra.unicodePath->substr(5));
  }
  // CRC-32, then the mode.
  if (extra.unix) {
    if (extra.unix->size() < 6) malformed("an entry's Unix field is cut short");
    entry.extraMode = u16(*extra.unix, 4);
  }

  // The local header and the data after it lie before the central directory.
  if (entry.localHeaderOffset > directoryOffset ||
      directoryOffset - entry.localHeaderOffset < kLocalHeaderSize ||
      entry.compressedSize > directoryOffset - entry.localHeaderOffset - kLocalHeaderSize) {
    malformed("an entry's data lies outside the archive's data area");
  }
  return entry;
}

}  // namespace

struct IpaArchive::Inflater {
  Inflater() : input(kInflateChunk), output(kInflateChunk) {
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) throw std::bad_alloc();
  }
  ~Inflater() { inflateEnd(&stream); }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  z_stream stream{};
  std::vector<unsigned char> input;
  std::vector<unsigned char> output;
};

IpaArchive::IpaArchive(ByteReader read, std::uint64_t size) : read_(std::move(read)), size_(size) {
  if (size < kEndRecordSize) malformed("it is too short to be a zip archive");
  std::string tail(
      static_cast<std::size_t>(std::min<std::uint64_t>(size, kEndRecordSize + kMaxComment)), '\0');
  if (readAt(tail.data(), tail.size(), size - tail.size()) != tail.size()) {
    malformed("it is cut short");
  }
  // The last signature with room for a whole record after it is the one unpacking tools take.
  std::size_t at = tail.size() - kEndRecordSize;
  while (u32(tail, at) != kEndRecord) {
    if (at == 0) malformed("it has no end record");
    --at;
  }
  const std::string_view end = std::string_view(tail).substr(at);
  if (kEndRecordSize + u16(end, 20) != end.size()) {
    malformed("its end record does not end the file");
  }
  const std::uint64_t endOffset = size - end.size();
  std::uint64_t disk = u16(end, 4);
  std::uint64_t directoryDisk = u16(end, 6);
  std::uint64_t entriesHere = u16(end, 8);
  entries_ = u16(end, 10);
  directorySize_ = u32(end, 12);
  directoryOffset_ = u32(end, 16);
  std::uint64_t directoryEnd = endOffset;

  if (endOffset >= kZip64LocatorSize) {
    char locatorBytes[kZip64LocatorSize];
    const std::uint64_t locatorOffset = endOffset - kZip64LocatorSize;
    if (readAt(locatorBytes, sizeof locatorBytes, locatorOffset) != sizeof locatorBytes) {
      malformed("it is cut short");
    }
    const std::string_view locator(locatorBytes, sizeof locatorBytes);
    if (u32(locator, 0) == kZip64Locator) {
      if (u32(locator, 4) != 0 || u32(locator, 16) != 1) malformed("it spans several volumes");
      const std::uint64_t recordOffset = u64(locator, 8);
      char recordBytes[kZip64EndRecordSize];
      if (recordOffset > locatorOffset || locatorOffset - recordOffset < kZip64EndRecordSize ||
          readAt(recordBytes, sizeof recordBytes, recordOffset) != sizeof recordBytes) {
        malformed("its zip64 end record is out of place");
      }
      const std::string_view record(recordBytes, sizeof recordBytes);
      if (u32(record, 0) != kZip64EndRecord ||
          u64(record, 4) != locatorOffset - recordOffset - 12) {
        malformed("its zip64 end record is out of place");
      }
      // Each value of the plain end record is the "see zip64" marker or the same value, so a
      // reader that takes either record reads the same directory.
      const auto agree = [](std::uint64_t plain, std::uint64_t marker, std::uint64_t zip64) {
        if (plain != marker && plain != zip64) malformed("its two end records disagree");
        return zip64;
      };
      disk = agree(disk, kUnset16, u32(record, 16));
      directoryDisk = agree(directoryDisk, kUnset16, u32(record, 20));
      entriesHere = agree(entriesHere, kUnset16, u64(record, 24));
      entries_ = agree(entries_, kUnset16, u64(record, 32));
      directorySize_ = agree(directorySize_, kUnset32, u64(record, 40));
      directoryOffset_ = agree(directoryOffset_, kUnset32, u64(record, 48));
      directoryEnd = recordOffset;
    }
  }
  if (disk != 0 || directoryDisk != 0 || entriesHere != entries_) {
    malformed("it spans several volumes");
  }
  if (directoryOffset_ > directoryEnd || directoryEnd - directoryOffset_ != directorySize_) {
    malformed("its central directory does not end where its end record begins");
  }
  if (entries_ > directorySize_ / kCentralHeaderSize) {
    malformed("its central directory is too small for the entries it counts");
  }
}

std::size_t IpaArchive::readAt(char* buffer, std::size_t size, std::uint64_t offset) const {
  if (offset >= size_) return 0;
  return read_(buffer, static_cast<std::size_t>(std::min<std::uint64_t>(size, size_ - offset)),
               offset);
}

void IpaArchive::forEachEntry(const std::function<void(const IpaEntry&)>& visit) const {
  const std::uint64_t stop = directoryOffset_ + directorySize_;
  std::vector<char> window(kWindow);
  std::size_t begin = 0;  // the window's unread bytes are [begin, end)
  std::size_t end = 0;
  std::uint64_t next = directoryOffset_;  // where the bytes after the window start

  // Makes `count` unread bytes available from `begin`; false when the directory ends first.
  auto have = [&](std::size_t count) {
    if (end - begin >= count) return true;
    std::memmove(window.data(), window.data() + begin, end - begin);
    end -= begin;
    begin = 0;
    const auto want =
        static_cast<std::size_t>(std::min<std::uint64_t>(window.size() - end, stop - next));
    if (readAt(window.data() + end, want, next) != want) malformed("it is cut short");
    end += want;
    next += want;
    return end - begin >= count;
  };

  for (std::uint64_t index = 0; index < entries_; ++index) {
    if (!have(kCentralHeaderSize)) malformed("its central directory is cut short");
    if (u32(std::string_view(window.data() + begin, 4), 0) != kCentralHeader) {
      malformed("its central directory holds a record that is not an entry");
    }
    const std::string_view header(window.data() + begin, kCentralHeaderSize);
    const std::size_t length =
        kCentralHeaderSize + u16(header, 28) + u16(header, 30) + u16(header, 32);
    if (!have(length)) malformed("its central directory is cut short");
    const IpaEntry entry =
        parseCentralRecord(std::string_view(window.data() + begin, length), directoryOffset_);
    begin += length;
    visit(entry);
  }
  if (begin != end || next != stop) malformed("its central directory holds more than its entries");
}

void IpaArchive::verifyData(const IpaEntry& entry) const {
  if (entry.flags & kEncryptionFlags) malformed("an entry is encrypted");
  if (entry.method != zipStored && entry.method != zipDeflated) {
    malformed("an entry uses compression method " + std::to_string(entry.method) +
              " (only stored and deflated entries are read)");
  }

  char headerBytes[kLocalHeaderSize];
  if (readAt(headerBytes, sizeof headerBytes, entry.localHeaderOffset) != sizeof headerBytes) {
    malformed("it is cut short");
  }
  const std::string_view header(headerBytes, sizeof headerBytes);
  const std::size_t nameLength = u16(header, 26);
  const std::size_t extraLength = u16(header, 28);
  const std::uint16_t flags = u16(header, 6);
  const std::uint64_t dataOffset =
      entry.localHeaderOffset + kLocalHeaderSize + nameLength + extraLength;
  if (u32(header, 0) != kLocalHeader || u16(header, 8) != entry.method ||
      (flags & kEncryptionFlags) != 0) {
    malformed("an entry's local header disagrees with the central directory");
  }
  if (dataOffset > directoryOffset_ || entry.compressedSize > directoryOffset_ - dataOffset) {
    malformed("an entry's data lies outside the archive's data area");
  }

  std::string variable(nameLength + extraLength, '\0');
  if (readAt(variable.data(), variable.size(), entry.localHeaderOffset + kLocalHeaderSize) !=
      variable.size()) {
    malformed("it is cut short");
  }
  const std::string_view name = std::string_view(variable).substr(0, nameLength);
  const ExtraFields extra = extraFields(std::string_view(variable).substr(nameLength));
  // A reader that takes the name, the type or the sizes from the local header must find there
  // what the central directory says.
  bool agrees = name == entry.name;
  if (extra.unicodePath) {
    agrees = agrees && extra.unicodePath->size() >= 5 && entry.unicodeName &&
             extra.unicodePath->substr(5) == *entry.unicodeName;
  }
  if (extra.unix) {
    agrees = agrees && extra.unix->size() >= 6 && entry.extraMode &&
             u16(*extra.unix, 4) == *entry.extraMode;
  }
  if (agrees && !(flags & kDataDescriptor)) {
    std::uint64_t compressed = u32(header, 18);
    std::uint64_t uncompressed = u32(header, 22);
    Zip64Values zip64(extra.zip64);
    zip64.resolve(uncompressed, kUnset32, 8);
    zip64.resolve(compressed, kUnset32, 8);
    agrees = compressed == entry.compressedSize && uncompressed == entry.uncompressedSize;
  }
  if (!agrees) malformed("an entry's local header disagrees with the central directory");

  if (entry.method == zipStored) {
    if (entry.compressedSize != entry.uncompressedSize) {
      malformed("a stored entry's sizes disagree");
    }
    return;
  }

  if (!inflater_) inflater_ = std::make_shared<Inflater>();
  z_stream& stream = inflater_->stream;
  if (inflateReset(&stream) != Z_OK) throw std::bad_alloc();
  stream.avail_in = 0;
  std::vector<unsigned char>& input = inflater_->input;
  std::vector<unsigned char>& output = inflater_->output;
  std::uint64_t read = 0;
  std::uint64_t produced = 0;
  for (int status = Z_OK; status != Z_STREAM_END;) {
    if (stream.avail_in == 0) {
      if (read == entry.compressedSize) malformed("an entry's compressed data is cut short");
      const auto want = static_cast<std::size_t>(
          std::min<std::uint64_t>(input.size(), entry.compressedSize - read));
      if (readAt(reinterpret_cast<char*>(input.data()), want, dataOffset + read) != want) {
        malformed("it is cut short");
      }
      read += want;
      stream.next_in = input.data();
      stream.avail_in = static_cast<uInt>(want);
    }
    stream.next_out = output.data();
    stream.avail_out = static_cast<uInt>(output.size());
    status = inflate(&stream, Z_NO_FLUSH);
    if (status != Z_OK && status != Z_STREAM_END && !(status == Z_BUF_ERROR && !stream.avail_in)) {
      malformed("an entry's compressed data is damaged");
    }
    produced += output.size() - stream.avail_out;
    if (produced > entry.uncompressedSize) {
      malformed("an entry unpacks to more than the size it declares");
    }
  }
  if (produced != entry.uncompressedSize) {
    malformed("an entry unpacks to less than the size it declares");
  }
}

}  // namespace vek::BuildPipeline
