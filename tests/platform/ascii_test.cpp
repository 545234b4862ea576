#include "platform/ascii.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Ascii, OnlyAsciiLettersFoldAndNamesCompareWithoutCase) {
  // cp1252 letters (é É, š Š) and the bytes next to A-Z and a-z stay.
  const std::string all = "@AZ[`az{\xE9\xC9\x9A\x8A";
  EXPECT_EQ(platform::AsciiLowerCase(all), "@az[`az{\xE9\xC9\x9A\x8A");
  std::string upper;
  for (char c : all) upper += platform::AsciiUpper(c);
  EXPECT_EQ(upper, "@AZ[`AZ{\xE9\xC9\x9A\x8A");

  const struct {
    const char* a;
    const char* b;
    bool same;
  } cases[] = {
      {"VigiloInfo", "vigiloinfo", true}, {"", "", true},    {"a", "ab", false},
      {"\xE9t\xE9", "\xC9T\xC9", false},  {"[", "{", false}, {"Z", "z", true},
  };
  for (const auto& c : cases) EXPECT_EQ(platform::AsciiEqualNoCase(c.a, c.b), c.same) << c.a;
}

TEST(Ascii, TrimBlanksCutsOnlyTheGivenBytesAtBothEnds) {
  const struct {
    const char* text;
    const char* blanks;
    const char* trimmed;
  } cases[] = {
      {" \tkey = value\t ", " \t", "key = value"},
      {"", " \t", ""},
      {" \t \t", " \t", ""},
      {"value\r", " \t", "value\r"},
      {" value \r", " \t\r", "value"},
      {"a b", " \t", "a b"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(platform::TrimBlanks(c.text, c.blanks), c.trimmed) << '"' << c.text << '"';
  }
  EXPECT_EQ(platform::TrimBlanks("  x "), "x");
}

TEST(Ascii, StripQuotesDropsOnePairOfTheSameQuotes) {
  const struct {
    const char* value;
    const char* stripped;
  } cases[] = {
      {"\"a b\"", "a b"}, {"'a'", "a"},           {"''", ""}, {"\"", "\""}, {"\"a'", "\"a'"},
      {"a\"", "a\""},     {"\"\"a\"\"", "\"a\""}, {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(platform::StripQuotes(c.value), c.stripped) << c.value;
}

}  // namespace
