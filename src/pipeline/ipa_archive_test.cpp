// The checks before an IPA is unpacked, on archives written byte by byte here: each case is one
// way a hostile or broken zip could slip a link, a path or a bomb past a listing, and the outcome
// `inspectIPA` must give for it.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <optional>

#include "foundation/errors.h"
#include "pipeline/ipa_extraction.h"

namespace vek {
namespace {

using namespace BuildPipeline;

std::string le(std::uint64_t value, int bytes) {
  std::string out;
  for (int i = 0; i < bytes; ++i)
    out += static_cast<char>(value >> (8 * i));
  return out;
}

std::string deflated(const std::string& data) {
  z_stream stream{};
  deflateInit2(&stream, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&stream, data.size()), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

struct Entry {
  std::string name;
  std::string content = "x";
  std::uint32_t mode = 0100644;
  int host = 3;  // Unix
  bool deflate = false;
  std::optional<std::uint64_t> declaredSize{};  // what the headers claim it unpacks to
  std::optional<std::uint16_t> method{};
  std::uint16_t flags = 0;
  std::string extra{};  // in both headers
  std::optional<std::string> localName{};
  bool zip64 = false;
};

// A zip of `entries`, as if it began `base` bytes into its file; with `zip64End`, its end record
// points to a zip64 end record.
std::string zipOf(const std::vector<Entry>& entries, const std::string& comment = "",
                  std::uint64_t base = 0, bool zip64End = false) {
  std::string body, directory;
  for (const Entry& e : entries) {
    const std::string data = e.deflate ? deflated(e.content) : e.content;
    const std::uint64_t size = e.declaredSize.value_or(e.content.size());
    const auto crc = crc32(0, reinterpret_cast<const Bytef*>(e.content.data()),
                           static_cast<uInt>(e.content.size()));
    std::string extra = e.extra;
    std::string sizes = le(data.size(), 4) + le(size, 4);
    if (e.zip64) {
      extra = le(1, 2) + le(16, 2) + le(size, 8) + le(data.size(), 8) + extra;
      sizes = le(0xFFFFFFFF, 4) + le(0xFFFFFFFF, 4);
    }
    const std::string common =
        le(e.method.value_or(e.deflate ? 8 : 0), 2) + le(0, 4) + le(crc, 4) + sizes;
    const std::string localName = e.localName.value_or(e.name);
    const std::uint64_t offset = base + body.size();
    body += le(0x04034b50, 4) + le(20, 2) + le(e.flags, 2) + common + le(localName.size(), 2) +
            le(extra.size(), 2) + localName + extra + data;
    directory += le(0x02014b50, 4) + le(e.host << 8 | 20, 2) + le(20, 2) + le(e.flags, 2) + common +
                 le(e.name.size(), 2) + le(extra.size(), 2) + le(0, 6) +
                 le(std::uint64_t{e.mode} << 16, 4) + le(offset, 4) + e.name + extra;
  }
  if (zip64End) {
    const std::uint64_t record = base + body.size() + directory.size();
    return body + directory + le(0x06064b50, 4) + le(44, 8) + le(20, 2) + le(45, 2) + le(0, 8) +
           le(entries.size(), 8) + le(entries.size(), 8) + le(directory.size(), 8) +
           le(base + body.size(), 8) + le(0x07064b50, 4) + le(0, 4) + le(record, 8) + le(1, 4) +
           le(0x06054b50, 4) + le(0, 4) + le(0xFFFFFFFF, 4) + le(0xFFFFFFFFFFFFFFFF, 8) +
           le(comment.size(), 2) + comment;
  }
  return body + directory + le(0x06054b50, 4) + le(0, 4) + le(entries.size(), 2) +
         le(entries.size(), 2) + le(directory.size(), 4) + le(base + body.size(), 4) +
         le(comment.size(), 2) + comment;
}

// The outcome of inspecting `zip` placed at the end of a file of `size` bytes (zeros before it).
std::string outcome(const std::string& zip, std::uint64_t size = 0) {
  size = std::max<std::uint64_t>(size, zip.size());
  const std::uint64_t start = size - zip.size();
  const ByteReader read = [&](char* buffer, std::size_t length, std::uint64_t offset) {
    const std::size_t count =
        static_cast<std::size_t>(std::min<std::uint64_t>(length, size - offset));
    for (std::size_t i = 0; i < count; ++i)
      buffer[i] = offset + i < start ? '\0' : zip[offset + i - start];
    return count;
  };
  try {
    const IpaContents contents = inspectIPA(read, size);
    return "ok " + std::to_string(contents.entries) + " " + std::to_string(contents.unpackedBytes);
  } catch (const VEKError& error) {
    return error.message();
  } catch (const DecodingError& error) {
    return error.what();
  }
}

const std::string unsafe = "Unsafe IPA archive path";
const std::string links = "IPAs containing symbolic links are not supported by this VEK version.";
const std::string special =
    "IPAs containing special files (devices, pipes or sockets) are not supported by this VEK "
    "version.";
const std::string unreadable = "The IPA is not a zip archive VEK can read: ";

TEST(InspectIPA, NamesThatClimbOutAreRefused) {
  for (const std::string& name : std::vector<std::string>{
           "Payload/", "Payload/A.app/Info.plist", "Payload/a..b/c", "Payload/..x", "Payload/x../y",
           "...", "Payload/.../z", "Payload//x", "./Payload/A.app"}) {
    EXPECT_EQ(outcome(zipOf({{.name = name}})), "ok 1 1") << name;
  }
  for (const std::string& name : std::vector<std::string>{
           "..", "../evil", "Payload/../../etc/passwd", "Payload/A.app/..", "/etc/passwd",
           "Payload\\..\\evil", "Payload/a\\b", "", std::string("Payload/a\0/../../x", 18)}) {
    EXPECT_EQ(outcome(zipOf({{.name = "Payload/ok"}, {.name = name}})), unsafe) << name;
  }
  // The Unicode name unzip prefers to the stored one.
  const std::string evil = "../../evil";
  EXPECT_EQ(outcome(zipOf(
                {{.name = "Payload/ok",
                  .extra = le(0x7075, 2) + le(5 + evil.size(), 2) + le(1, 1) + le(0, 4) + evil}})),
            unsafe);
}

TEST(InspectIPA, FileTypesComeFromTheModeWhateverTheHost) {
  // MS-DOS, VMS, Unix, Atari, Macintosh, NTFS, BeOS, OS X, AtheOS: unzip makes links for some,
  // and a listing shows an "l" for fewer; the mode bits say link for all of them.
  for (int host : {0, 2, 3, 5, 7, 10, 16, 19, 30}) {
    EXPECT_EQ(outcome(zipOf({{.name = "Payload/A.app/Link",
                              .content = "/etc/passwd",
                              .mode = 0120777,
                              .host = host}})),
              links)
        << host;
  }
  for (std::uint32_t mode : {0010644u, 0020644u, 0060644u, 0140644u, 0160000u}) {
    EXPECT_EQ(outcome(zipOf({{.name = "Payload/A.app/x", .mode = mode, .host = 2}})), special)
        << mode;
  }
  // No mode stored, and a link in the Unix extra field that unzip then reads instead.
  EXPECT_EQ(outcome(zipOf({{.name = "Payload/x", .mode = 0, .host = 0}})), "ok 1 1");
  EXPECT_EQ(
      outcome(zipOf({{.name = "Payload/x",
                      .mode = 0,
                      .extra = le(0x756e, 2) + le(14, 2) + le(0, 4) + le(0120777, 2) + le(0, 8)}})),
      links);
  // An unsafe name anywhere outranks a link, as the name check comes first.
  EXPECT_EQ(outcome(zipOf({{.name = "Payload/L", .mode = 0120777}, {.name = "../x"}})), unsafe);
}

TEST(InspectIPA, ExpansionIsBoundedBeforeAnythingIsInflated) {
  const std::string zeros(1 << 20, '\0');
  EXPECT_EQ(outcome(zipOf({{.name = "Payload/zeros", .content = zeros, .deflate = true}})),
            "The IPA would unpack to more than 100 times its own size, which no real app does.");
  // Within 100 times a file of 200 MB, but more than 16 GiB.
  const Entry big{.name = "Payload/big", .declaredSize = std::uint64_t{17} << 30, .zip64 = true};
  const std::uint64_t size = 200'000'000;
  EXPECT_EQ(outcome(zipOf({big}, "", size - zipOf({big}).size()), size),
            "The IPA would unpack to more than 16 GiB, the most VEK unpacks.");
  // A size that lies low cannot hide the real one: inflating stops past the declared size.
  EXPECT_EQ(outcome(zipOf({{.name = "Payload/a",
                            .content = std::string(5000, 'a'),
                            .deflate = true,
                            .declaredSize = 4999}})),
            unreadable + "an entry unpacks to more than the size it declares.");
  EXPECT_EQ(outcome(zipOf({{.name = "Payload/a",
                            .content = std::string(50, 'a'),
                            .deflate = true,
                            .declaredSize = 51}})),
            unreadable + "an entry unpacks to less than the size it declares.");
}

TEST(InspectIPA, ReadsEveryEntryOfALongDirectory) {
  // A directory several times the reading window, with its one link last.
  std::vector<Entry> entries;
  for (int i = 0; i < 4000; ++i)
    entries.push_back({.name = "Payload/A.app/" + std::string(200, 'n') + std::to_string(i)});
  EXPECT_EQ(outcome(zipOf(entries)), "ok 4000 4000");
  entries.push_back({.name = "Payload/A.app/Link", .mode = 0120777, .host = 2});
  EXPECT_EQ(outcome(zipOf(entries)), links);
  EXPECT_EQ(outcome(zipOf({{.name = "Payload/a", .content = "abc", .deflate = true, .zip64 = true}},
                          "", 0, true)),
            "ok 1 3");
}

TEST(InspectIPA, AmbiguousOrDamagedArchivesAreRefused) {
  const std::string good = zipOf({{.name = "Payload/A.app/Info.plist", .deflate = true}});
  ASSERT_EQ(outcome(good), "ok 1 1");
  std::string disagreeing = zipOf({{.name = "Payload/a"}}, "", 0, true);
  disagreeing[disagreeing.size() - 12] = 2;  // the plain record's count of entries
  const std::vector<std::pair<std::string, std::string>> cases{
      {disagreeing, "its two end records disagree"},
      {"", "it is too short to be a zip archive"},
      {good.substr(0, good.size() - 1), "it has no end record"},
      {good + "x", "its end record does not end the file"},
      {zipOf({{.name = "Payload/a"}}, "PK\x05\x06 a second end record"),
       "its end record does not end the file"},
      {"junk" + good, "its central directory does not end where its end record begins"},
      {zipOf({{.name = "Payload/a", .localName = "Payload/b"}}),
       "an entry's local header disagrees with the central directory"},
      {zipOf({{.name = "Payload/a", .declaredSize = 2}}), "a stored entry's sizes disagree"},
      {zipOf({{.name = "Payload/a", .flags = 1}}), "an entry is encrypted"},
      {zipOf({{.name = "Payload/a", .method = 12}}),
       "an entry uses compression method 12 (only stored and deflated entries are read)"},
      {zipOf({{.name = "Payload/a", .method = 8}}), "an entry's compressed data is cut short"},
      {zipOf({{.name = "Payload/a", .extra = le(0x5455, 2) + le(9, 2)}}),
       "an entry's extra field runs past its end"},
  };
  for (const auto& [zip, reason] : cases) {
    EXPECT_EQ(outcome(zip), unreadable + reason + ".") << reason;
  }
}

}  // namespace
}  // namespace vek
