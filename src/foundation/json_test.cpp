#include "foundation/json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <unordered_set>

#include "foundation/errors.h"
#include "test_support.h"

namespace vek {
namespace {

TEST(JSONDecode, KeepsLiteralsInTheirOwnCase) {
  EXPECT_EQ(JSON::decode("true").kind(), JSON::Kind::boolean);
  EXPECT_EQ(JSON::decode("1"), JSON(1));
  EXPECT_EQ(JSON::decode("1").kind(), JSON::Kind::number);
  EXPECT_EQ(JSON::decode("\"1\""), JSON("1"));
  EXPECT_EQ(JSON::decode("null"), JSON());
  EXPECT_EQ(JSON::decode(" [1, \"a\", {\"k\": false}] "),
            JSON::array({1, "a", JSON::object({{"k", false}})}));
}

TEST(JSONDecode, EveryNumberIsADouble) {
  EXPECT_EQ(JSON::decode("-0").doubleValue(), 0.0);
  EXPECT_EQ(JSON::decode("18446744073709551615").doubleValue(), 18446744073709551615.0);
  EXPECT_EQ(JSON::decode("17819358193419324013").kind(), JSON::Kind::number);
  EXPECT_EQ(JSON::decode("2.5e3").doubleValue(), 2500.0);
  EXPECT_EQ(JSON::decode("123456789012345678901234567890").kind(), JSON::Kind::number);
}

TEST(JSONDecode, RejectsWhatIsNotJSON) {
  for (const char* bad : {"", "tru", "{\"a\":}", "[1,]", "{'a':1}", "1 2", "NaN", "1e400",
                          "\"\xff\"", "\"\xc3\"", "{\"a\":1", "01"}) {
    EXPECT_THROW(JSON::decode(bad), DecodingError) << bad;
  }
}

// A NUL byte ends the input for the underlying parser; a damaged file must not read as its prefix.
TEST(JSONDecode, ANulByteIsRefusedWhereverItStands) {
  using namespace std::string_literals;
  EXPECT_EQ(testing::failureOf<DecodingError>([] { JSON::decode("[]\0anything"s); }),
            "The data is not valid JSON: parse error at line 1, column 3: unexpected NUL byte");
  EXPECT_EQ(testing::failureOf<DecodingError>([] { JSON::decode("{\n \"a\": 1\n}\n\0"s); }),
            "The data is not valid JSON: parse error at line 4, column 1: unexpected NUL byte");
  for (const std::string& bad : {"\0"s, "[1,\0 2]"s, "[\"a\0b\"]"s, "\"\0\""s, "1\0"s}) {
    EXPECT_THROW(JSON::decode(bad), DecodingError) << bad.size();
  }
  // A fault before the NUL is reported as the parser found it.
  EXPECT_EQ(testing::failureOf<DecodingError>([] { JSON::decode("[1,]\0"s); }).find("NUL"),
            std::string::npos);
  EXPECT_EQ(JSON::decode("\"\\u0000\""), JSON("\0"s));  // the escaped form is a valid string
}

TEST(JSONDecode, ANamedDecodingSaysWhatWasDecoded) {
  std::string failure = testing::failureOf<DecodingError>(
      [] { JSON::decode("{x", "The stored VEK credentials are not valid JSON"); });
  EXPECT_TRUE(
      failure.starts_with("The stored VEK credentials are not valid JSON: parse error at "
                          "line 1, column 2: "))
      << failure;
}

TEST(JSONDecode, BoundsNesting) {
  EXPECT_NO_THROW(JSON::decode(std::string(512, '[') + std::string(512, ']')));
  EXPECT_THROW(JSON::decode(std::string(513, '[') + std::string(513, ']')), DecodingError);
  EXPECT_THROW(JSON::decode(std::string(100000, '[')), DecodingError);
}

TEST(JSONDecode, LaterDuplicateKeyWins) {
  EXPECT_EQ(JSON::decode(R"({"a":1,"a":{"b":2}})")["a"]["b"], JSON(2));
}

TEST(JSONAccessors, NeverFailAndYieldNeutralValues) {
  JSON number(5);
  EXPECT_EQ(number.text(), "");
  EXPECT_FALSE(number.string().has_value());
  EXPECT_TRUE(number["key"].isNull());
  EXPECT_TRUE(JSON::array({1})["0"].isNull());
  EXPECT_TRUE(JSON("text")["text"].isNull());
  EXPECT_TRUE(JSON()["a"]["b"].isNull());
  EXPECT_TRUE(JSON::object({{"a", 1}})["b"].isNull());
  EXPECT_EQ(JSON("5").integer(), 0);
  EXPECT_FALSE(JSON(1).flag());
  EXPECT_TRUE(JSON(true).flag());
  EXPECT_EQ(JSON("x").doubleValue(), 0);
  EXPECT_TRUE(JSON(1).items().empty());
  EXPECT_TRUE(JSON("x").fields().empty());
  EXPECT_EQ(JSON("x").string(), std::optional<std::string>("x"));
}

TEST(JSONAccessors, IntegerTruncatesTowardZeroAndSaturates) {
  EXPECT_EQ(JSON(-3.7).integer(), -3);
  EXPECT_EQ(JSON(2.9).integer(), 2);
  EXPECT_EQ(JSON(-2.9).integer(), -2);
  EXPECT_EQ(JSON(1e300).integer(), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(JSON(-1e300).integer(), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(JSON(std::nan("")).integer(), 0);
}

TEST(JSONEquality, CaseAndPayloadMustMatch) {
  EXPECT_NE(JSON(1), JSON(true));
  EXPECT_NE(JSON(0), JSON());
  EXPECT_NE(JSON("1"), JSON(1));
  EXPECT_EQ(JSON::decode(R"({"b":1,"a":[2,3]})"), JSON::decode(R"({"a":[2,3],"b":1})"));
  EXPECT_NE(JSON::array({1, 2}), JSON::array({2, 1}));
  EXPECT_EQ(JSON(0.0), JSON(-0.0));
}

TEST(JSONHash, FollowsEqualityAndSeparatesCases) {
  EXPECT_EQ(JSON(0.0).hash(), JSON(-0.0).hash());
  EXPECT_EQ(JSON::decode(R"({"b":1,"a":2})").hash(), JSON::decode(R"({"a":2,"b":1})").hash());
  std::unordered_set<JSON> set{JSON(),   JSON(false),   JSON(0),
                               JSON(""), JSON::array(), JSON::object()};
  EXPECT_EQ(set.size(), 6u);
}

TEST(JSONStrings, BuildsAnArrayOfStrings) {
  EXPECT_EQ(JSON::strings({}), JSON::array());
  EXPECT_EQ(JSON::strings({"a", "b"}), JSON::array({"a", "b"}));
}

TEST(JSONData, IsCompactWithEscapedSlashes) {
  JSON value = JSON::object(
      {{"path", "/usr/bin"}, {"n", 900}, {"x", 0.5}, {"list", JSON::array({true, JSON()})}});
  EXPECT_EQ(value.data(), R"({"list":[true,null],"n":900,"path":"\/usr\/bin","x":0.5})");
  EXPECT_EQ(JSON("a\"b\\c\n\x01").data(), R"("a\"b\\c\n\u0001")");
  EXPECT_EQ(JSON("é✓").data(), "\"é✓\"");
}

TEST(JSONData, WritesNumbersInShortestRoundTripForm) {
  EXPECT_EQ(JSON(900).data(), "900");
  EXPECT_EQ(JSON(-12.0).data(), "-12");
  EXPECT_EQ(JSON(0.1).data(), "0.1");
  EXPECT_EQ(JSON(1e300).data(), "1e+300");
  EXPECT_EQ(JSON(1.0 / 3).data(), "0.3333333333333333");
  for (double number : {0.1, 1.0 / 3, 123456.789, 1e-300, 9007199254740993.0, 1e20}) {
    EXPECT_EQ(JSON::decode(JSON(number).data()).doubleValue(), number);
  }
  EXPECT_THROW(JSON(std::numeric_limits<double>::infinity()).data(), DecodingError);
}

TEST(JSONData, ReplacesInvalidUTF8SoTheOutputIsAlwaysJSON) {
  std::string rendered = JSON(std::string("a\xff") + "b").data();
  EXPECT_EQ(rendered,
            "\"a\xEF\xBF\xBD"
            "b\"");
  EXPECT_NO_THROW(JSON::decode(rendered));
}

TEST(JSONPretty, IndentsSortsAndLeavesSlashesBare) {
  JSON value = JSON::object({{"b", JSON::array({1, "x/y"})},
                             {"a", JSON::object({{"c", JSON()}})},
                             {"e", JSON::array()},
                             {"d", JSON::object()}});
  EXPECT_EQ(value.pretty(),
            "{\n"
            "  \"a\" : {\n"
            "    \"c\" : null\n"
            "  },\n"
            "  \"b\" : [\n"
            "    1,\n"
            "    \"x/y\"\n"
            "  ],\n"
            "  \"d\" : {},\n"
            "  \"e\" : []\n"
            "}");
  EXPECT_EQ(JSON(900).pretty(), "900");
  EXPECT_EQ(JSON::object({{"error", "Unknown command. Run vek --help."}}).pretty(),
            "{\n  \"error\" : \"Unknown command. Run vek --help.\"\n}");
}

TEST(JSONPretty, FallsBackToNullWhenUnrenderable) {
  EXPECT_EQ(JSON::array({std::numeric_limits<double>::quiet_NaN()}).pretty(), "null");
}

TEST(JSONRoundTrip, DataDecodesToAnEqualValue) {
  JSON value = JSON::decode(
      R"({"a":[1,2.5,-0.001,"\u00e9\ud83d\ude00",{"b":null,"c":true}],"d":"\/","e":""})");
  EXPECT_EQ(JSON::decode(value.data()), value);
  EXPECT_EQ(JSON::decode(value.pretty()), value);
}

TEST(JSONBuilding, SetAndPush) {
  JSON list;
  list.push("x");
  JSON value;
  value.set("a", JSON::object({{"b", 1}})).set("list", list).set("a", 2);
  EXPECT_EQ(value, JSON::decode(R"({"a":2,"list":["x"]})"));
  JSON number(1);
  EXPECT_THROW(number.set("a", 1), std::logic_error);
  EXPECT_THROW(number.push(1), std::logic_error);
}

}  // namespace
}  // namespace vek
