// Plist: both encodings read into the same values, dates kept exact beyond libplist's 32-bit
// accessor, the XML writer's round trip and refusals, and hostile documents (deep, self-referring,
// exponentially shared, cut short) turned away with DecodingError instead of crashing or hanging.
#include "foundation/plist.h"

#include <gtest/gtest.h>

#include <string>

#include "foundation/errors.h"
#include "test_support.h"

namespace vek {
namespace {

using namespace std::chrono;

// Apple's binary encoding (bplist00) of: Blob = <00 01>, CFBundleIdentifier = "com.example.test",
// CFBundleSupportedPlatforms = ["iPhoneOS"], Count = -3, Debug = true, MinimumOSVersion = "17.0",
// Ratio = 1.5, When = 2100-01-01 00:00:00.25 UTC.
const std::string binarySample(
    "\x62\x70\x6c\x69\x73\x74\x30\x30\xd8\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0d\x0e\x0f"
    "\x10\x11\x54\x42\x6c\x6f\x62\x5f\x10\x12\x43\x46\x42\x75\x6e\x64\x6c\x65\x49\x64\x65\x6e\x74"
    "\x69\x66\x69\x65\x72\x5f\x10\x1a\x43\x46\x42\x75\x6e\x64\x6c\x65\x53\x75\x70\x70\x6f\x72\x74"
    "\x65\x64\x50\x6c\x61\x74\x66\x6f\x72\x6d\x73\x55\x43\x6f\x75\x6e\x74\x55\x44\x65\x62\x75\x67"
    "\x5f\x10\x10\x4d\x69\x6e\x69\x6d\x75\x6d\x4f\x53\x56\x65\x72\x73\x69\x6f\x6e\x55\x52\x61\x74"
    "\x69\x6f\x54\x57\x68\x65\x6e\x42\x00\x01\x5f\x10\x10\x63\x6f\x6d\x2e\x65\x78\x61\x6d\x70\x6c"
    "\x65\x2e\x74\x65\x73\x74\xa1\x0c\x58\x69\x50\x68\x6f\x6e\x65\x4f\x53\x13\xff\xff\xff\xff\xff"
    "\xff\xff\xfd\x09\x54\x31\x37\x2e\x30\x23\x3f\xf8\x00\x00\x00\x00\x00\x00\x33\x41\xe7\x46\xd1"
    "\xd0\x08\x00\x00\x08\x19\x1e\x33\x50\x56\x5c\x6f\x75\x7a\x7d\x90\x92\x9b\xa4\xa5\xaa\xb3\x00"
    "\x00\x00\x00\x00\x00\x01\x01\x00\x00\x00\x00\x00\x00\x00\x12\x00\x00\x00\x00\x00\x00\x00\x00"
    "\x00\x00\x00\x00\x00\x00\x00\xbc",
    238);

Plist::Date at(int y, unsigned m, unsigned d, long long secondsIntoDay = 0, long long micros = 0) {
  return Plist::Date(sys_days(year(y) / m / d) + seconds(secondsIntoDay) + microseconds(micros));
}

std::string xmlDocument(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST "
         "1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n<plist version=\"1.0\">" +
         body + "</plist>";
}

// A binary list of raw objects, with 4-byte offsets and references.
std::string binaryList(const std::vector<std::string>& objects, std::uint64_t top = 0) {
  std::string out = "bplist00";
  std::vector<std::uint32_t> offsets;
  for (const std::string& object : objects) {
    offsets.push_back(static_cast<std::uint32_t>(out.size()));
    out += object;
  }
  auto bigEndian = [&](std::uint64_t value, int width) {
    for (int shift = 8 * (width - 1); shift >= 0; shift -= 8) {
      out.push_back(static_cast<char>((value >> shift) & 0xFF));
    }
  };
  const std::uint64_t table = out.size();
  for (std::uint32_t offset : offsets)
    bigEndian(offset, 4);
  out += std::string(6, '\0');
  out.push_back(4);  // offset width
  out.push_back(4);  // reference width
  bigEndian(objects.size(), 8);
  bigEndian(top, 8);
  bigEndian(table, 8);
  return out;
}

// An array object of `references` (4-byte references, fewer than 15 of them).
std::string arrayObject(const std::vector<std::uint32_t>& references) {
  std::string object(1, static_cast<char>(0xA0 | references.size()));
  for (std::uint32_t reference : references) {
    for (int shift = 24; shift >= 0; shift -= 8) {
      object.push_back(static_cast<char>((reference >> shift) & 0xFF));
    }
  }
  return object;
}

TEST(PlistRead, BinaryAndXMLGiveTheSameValues) {
  const Plist binary = Plist::decode(binarySample);
  EXPECT_EQ(binary["CFBundleIdentifier"].text(), "com.example.test");
  EXPECT_EQ(binary["CFBundleSupportedPlatforms"], Plist(Plist::Array{"iPhoneOS"}));
  EXPECT_EQ(binary["Count"].integer(), -3);
  EXPECT_TRUE(binary["Debug"].flag());
  EXPECT_EQ(binary["Ratio"].real(), 1.5);
  EXPECT_EQ(binary["Blob"], Plist(Plist::Data{std::string("\0\1", 2)}));
  // Past 2069: libplist's 32-bit accessor would have wrapped this around to 1963.
  EXPECT_EQ(binary["When"].date(), at(2100, 1, 1, 0, 250000));

  const Plist xml = Plist::decode(xmlDocument(
      "<dict><key>Blob</key><data>AAE=</data><key>CFBundleIdentifier</key>"
      "<string>com.example.test</string><key>CFBundleSupportedPlatforms</key><array>"
      "<string>iPhoneOS</string></array><key>Count</key><integer>-3</integer><key>Debug</key>"
      "<true/><key>MinimumOSVersion</key><string>17.0</string><key>Ratio</key><real>1.5</real>"
      "<key>When</key><date>2100-01-01T00:00:00Z</date></dict>"));
  EXPECT_EQ(xml["When"].date(), at(2100, 1, 1));
  Plist withoutFraction = binary;
  withoutFraction.set("When", at(2100, 1, 1));
  EXPECT_EQ(xml, withoutFraction);
}

TEST(PlistRead, DatesAreExactAcrossTheWholeRange) {
  for (const auto& [text, expected] : std::vector<std::pair<std::string, Plist::Date>>{
           {"1900-01-01T00:00:00Z", at(1900, 1, 1)},
           {"2001-01-01T00:00:00Z", at(2001, 1, 1)},
           {"2026-01-15T10:20:30Z", at(2026, 1, 15, 37230)},
           {"2069-01-19T03:14:08Z", at(2069, 1, 19, 11648)},
           {"2200-12-31T23:59:59Z", at(2200, 12, 31, 86399)}}) {
    EXPECT_EQ(Plist::decode(xmlDocument("<date>" + text + "</date>")).date(), expected) << text;
  }
}

TEST(PlistRead, AccessorsAreNeutralOnTheWrongCase) {
  const Plist value = Plist::decode(xmlDocument("<dict><key>s</key><string>x</string></dict>"));
  EXPECT_TRUE(value["missing"].isAbsent());
  EXPECT_TRUE(value["s"]["deeper"].isAbsent());
  EXPECT_EQ(value["s"].integer(), std::nullopt);
  EXPECT_FALSE(value["s"].flag());
  EXPECT_EQ(value["s"].date(), std::nullopt);
  EXPECT_TRUE(value["s"].items().empty());
  EXPECT_EQ(value.text(), "");
  EXPECT_FALSE(Plist(false).flag());
}

TEST(PlistRead, RefusesWhatIsNotAPropertyList) {
  for (const std::string& bad :
       {std::string(), std::string("hello"), std::string("[Dict]\n\t[Key] a\n"),
        xmlDocument("<dict><key>a</key>"), binarySample.substr(0, 200),
        std::string("bplist00") + std::string(40, '\xff')}) {
    EXPECT_THROW(Plist::decode(bad), DecodingError) << bad;
  }
  const std::string oneKeyDictionary("\xd1\x00\x00\x00\x01\x00\x00\x00\x02", 9);
  // A NUL inside a key makes libplist abort; it must be refused before, in either encoding.
  EXPECT_THROW(Plist::decode(xmlDocument(std::string("<dict><key>a\0b</key><true/></dict>", 34))),
               DecodingError);
  EXPECT_THROW(Plist::decode(binaryList({oneKeyDictionary, std::string("\x53k\0y", 4), "\x09"})),
               DecodingError);
  EXPECT_THROW(Plist::decode(binaryList({oneKeyDictionary, std::string("\x62\0k\0\0", 5), "\x09"})),
               DecodingError);
  EXPECT_EQ(Plist::decode(binaryList({oneKeyDictionary, std::string("\x62\0k\x01\0", 5), "\x09"})),
            Plist(Plist::Dictionary{{"k\xc4\x80", true}}));
  // A NUL after the document, as some tools print one, is not part of it.
  EXPECT_EQ(Plist::decode(xmlDocument("<true/>") + std::string(2, '\0')), Plist(true));

  std::string tooLarge = xmlDocument("<string>" + std::string(Plist::maxBytes, 'a') + "</string>");
  EXPECT_EQ(testing::failureOf([&] { Plist::decode(tooLarge); }), "Property list is too large");
}

TEST(PlistRead, BoundsXMLNestingWithoutBeingFooled) {
  auto nested = [](std::size_t depth, const std::string& prefix = "") {
    std::string body = prefix;
    for (std::size_t i = 0; i < depth; ++i)
      body += "<array>";
    for (std::size_t i = 0; i < depth; ++i)
      body += "</array>";
    return xmlDocument(body);
  };
  // <plist> is one level of its own.
  EXPECT_NO_THROW(Plist::decode(nested(Plist::maxDepth - 1)));
  EXPECT_EQ(testing::failureOf([&] { Plist::decode(nested(Plist::maxDepth)); }),
            "Property list is nested too deeply");
  // Deep enough to crash libplist if it got that far.
  EXPECT_THROW(Plist::decode(nested(200000)), DecodingError);
  // End tags libplist skips (in a comment, a CDATA section, a DOCTYPE's subset) close nothing.
  std::string closers;
  for (int i = 0; i < 300; ++i)
    closers += "</array>";
  for (const std::string& hiding :
       {"<!--" + closers + "-->", "<![CDATA[" + closers + "]]>", "<?pi " + closers + "?>"}) {
    EXPECT_THROW(Plist::decode(nested(Plist::maxDepth, hiding)), DecodingError) << hiding;
  }
  EXPECT_THROW(Plist::decode("<!DOCTYPE plist [" + closers + "]>" + nested(Plist::maxDepth)),
               DecodingError);
  // Empty elements open no level.
  std::string flat = "<array>";
  for (int i = 0; i < 1000; ++i)
    flat += "<true/>";
  EXPECT_EQ(Plist::decode(xmlDocument(flat + "</array>")).items().size(), 1000u);
}

TEST(PlistRead, BoundsBinaryNestingSharingAndCycles) {
  // A chain of arrays, each holding the next, ending in true.
  auto chain = [](std::size_t length) {
    std::vector<std::string> objects;
    for (std::uint32_t i = 0; i < length; ++i)
      objects.push_back(arrayObject({i + 1}));
    objects.push_back("\x09");
    return binaryList(objects);
  };
  EXPECT_NO_THROW(Plist::decode(chain(Plist::maxDepth - 1)));
  EXPECT_THROW(Plist::decode(chain(Plist::maxDepth)), DecodingError);
  EXPECT_THROW(Plist::decode(chain(200000)), DecodingError);

  // Each array refers twice to the next: 40 levels would expand to 2^40 values.
  std::vector<std::string> doubling;
  for (std::uint32_t i = 0; i < 40; ++i)
    doubling.push_back(arrayObject({i + 1, i + 1}));
  doubling.push_back("\x09");
  EXPECT_EQ(testing::failureOf([&] { Plist::decode(binaryList(doubling)); }),
            "Property list holds too many values");
  // Sharing as such is fine: two references to one string.
  std::vector<std::string> shared{arrayObject({1, 1}), "\x51x"};
  EXPECT_EQ(Plist::decode(binaryList(shared)), Plist(Plist::Array{"x", "x"}));

  for (const std::vector<std::string>& cyclic :
       {std::vector<std::string>{arrayObject({0})},
        std::vector<std::string>{arrayObject({1}), arrayObject({0})}}) {
    EXPECT_THROW(Plist::decode(binaryList(cyclic)), DecodingError);
  }
  // References and offsets outside the document.
  EXPECT_THROW(Plist::decode(binaryList({arrayObject({7})})), DecodingError);
  EXPECT_THROW(Plist::decode(binaryList({"\x09"}, 5)), DecodingError);
}

TEST(PlistWrite, RoundTripsEveryKind) {
  Plist value = Plist::Dictionary{
      {"thinning", "<none>"},
      {"method", "release-testing"},
      {"flags", Plist::Array{true, false, 7, -7, 2.5}},
      {"blob", Plist::Data{std::string("\0\xff", 2)}},
      {"when", at(2026, 1, 15, 37230)},
      {"nested", Plist::Dictionary{{"k", "v"}}},
  };
  const std::string xml = value.xml();
  EXPECT_NE(xml.find("<string>&lt;none&gt;</string>"), std::string::npos) << xml;
  EXPECT_NE(xml.find("<date>2026-01-15T10:20:30Z</date>"), std::string::npos) << xml;
  EXPECT_TRUE(xml.starts_with("<?xml version=\"1.0\" encoding=\"UTF-8\"?>")) << xml;
  EXPECT_EQ(Plist::decode(xml), value);
}

TEST(PlistWrite, RefusesValuesItCannotSpell) {
  for (const Plist& bad :
       {Plist(), Plist(Plist::Dictionary{{"a", Plist()}}), Plist(std::string("a\0b", 3)),
        Plist(Plist::Dictionary{{std::string("k\0", 2), 1}}), Plist(at(2070, 1, 1)),
        Plist(at(1930, 1, 1))}) {
    EXPECT_THROW(bad.xml(), DecodingError);
  }
  EXPECT_NO_THROW(Plist(at(2069, 1, 1)).xml());
}

TEST(PlistReadFile, NamesThePathOnFailure) {
  testing::TempDir dir;
  EXPECT_THROW(Plist::readFile(dir / "missing.plist"), SystemError);
  testing::writeText(dir / "bad.plist", "not a plist");
  EXPECT_EQ(
      testing::failureOf([&] { Plist::readFile(dir / "bad.plist"); }),
      "Cannot read property list " + (dir / "bad.plist").string() + ": Not a valid property list");
  testing::writeText(dir / "good.plist", binarySample);
  EXPECT_EQ(Plist::readFile(dir / "good.plist")["MinimumOSVersion"].text(), "17.0");
  testing::writeText(dir / "huge.plist", std::string(Plist::maxBytes + 1, ' '));
  EXPECT_THROW(Plist::readFile(dir / "huge.plist"), DecodingError);
}

}  // namespace
}  // namespace vek
