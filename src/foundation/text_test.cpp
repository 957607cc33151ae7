#include "foundation/text.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace vek {
namespace {

TEST(UTF8, ValidatesWellFormedSequencesOnly) {
  EXPECT_TRUE(text::isValidUTF8("plain é ✓ 😀"));
  for (const char* bad : {"\x80", "\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80",
                          "\xf8\x88\x80\x80\x80", "\xe2\x82", "\xff"}) {
    EXPECT_FALSE(text::isValidUTF8(bad)) << bad;
  }
}

TEST(UTF8, LossyDecodingReplacesMaximalSubparts) {
  const std::string fffd = "\xEF\xBF\xBD";
  EXPECT_EQ(text::decodeUTF8Lossy("ok"), "ok");
  EXPECT_EQ(text::decodeUTF8Lossy("a\xffz"), "a" + fffd + "z");
  // A truncated three-byte character is one replacement, not two.
  EXPECT_EQ(text::decodeUTF8Lossy("a\xe2\x82z"), "a" + fffd + "z");
  // A character cut at the start of a window: each stray continuation byte is replaced.
  EXPECT_EQ(text::decodeUTF8Lossy("\x82\xac"
                                  "x"),
            fffd + fffd + "x");
  EXPECT_EQ(text::decodeUTF8Lossy("\xed\xa0\x80"), fffd + fffd + fffd);
}

TEST(Trim, RemovesWhiteSpaceAndLineBreaksAtBothEnds) {
  EXPECT_EQ(text::trim("  token\r\n"), "token");
  EXPECT_EQ(text::trim("\t a b \n"), "a b");
  EXPECT_EQ(text::trim("\xc2\xa0x\xe2\x80\xa8"), "x");  // no-break space, line separator
  EXPECT_EQ(text::trim(" \n "), "");
  EXPECT_EQ(text::trim("é"), "é");
}

TEST(WithoutControls, LeavesNothingATerminalWouldObey) {
  EXPECT_EQ(text::withoutControls("Mac\x1b]0;owned\x07 B\tC\nD\x7f"), "Mac ]0;owned  B C D ");
  EXPECT_EQ(text::withoutControls("\xc2\x9b"
                                  "31m \xc2\xa0é"),
            " 31m \xc2\xa0é");  // CSI; NBSP stays
  EXPECT_EQ(text::withoutControls("\xff"), "\xef\xbf\xbd");
}

TEST(Characters, CountGraphemeClusters) {
  std::string family = "👨‍👩‍👧";  // one cluster of five code points
  std::string accented = "e\xcc\x81";         // e + combining acute
  std::string value = "ab" + family + accented + "z";
  EXPECT_EQ(text::suffixCharacters(value, 3), family + accented + "z");
  EXPECT_EQ(text::prefixCharacters(value, 3), "ab" + family);
  EXPECT_EQ(text::suffixCharacters(value, 100), value);
  EXPECT_EQ(text::prefixCharacters(value, 0), "");
  EXPECT_EQ(text::suffixCharacters(value, 0), "");
  EXPECT_EQ(text::suffixCharacters("x\xff", 1), "\xff");
}

TEST(Duration, UsesTheLargestWholeUnit) {
  for (const auto& [seconds, text] :
       std::vector<std::pair<double, std::string>>{{7200, "2 hours"},
                                                   {3600, "1 hour"},
                                                   {600, "10 minutes"},
                                                   {90, "90 seconds"},
                                                   {1, "1 second"},
                                                   {0, "0 seconds"},
                                                   {0.2, "0.2 seconds"}}) {
    EXPECT_EQ(text::duration(seconds), text) << seconds;
  }
}

}  // namespace
}  // namespace vek
