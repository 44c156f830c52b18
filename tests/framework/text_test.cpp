#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "rtl/System.h"

namespace {

using rtl::String;
using namespace std::string_literals;

TEST(Text, IntToStr) {
  EXPECT_EQ(rtl::IntToStr(0), u"0");
  EXPECT_EQ(rtl::IntToStr(-1), u"-1");
  EXPECT_EQ(rtl::IntToStr(1000), u"1000");
  EXPECT_EQ(rtl::IntToStr(std::numeric_limits<std::int64_t>::max()), u"9223372036854775807");
  EXPECT_EQ(rtl::IntToStr(std::numeric_limits<std::int64_t>::min()), u"-9223372036854775808");
}

TEST(Text, IntToHexIsUpperCaseAndPadded) {
  EXPECT_EQ(rtl::IntToHex(0xab, 2), u"AB");
  EXPECT_EQ(rtl::IntToHex(0x46d, 4), u"046D");
  EXPECT_EQ(rtl::IntToHex(0x12345, 4), u"12345");  // never cut
  EXPECT_EQ(rtl::IntToHex(0, 0), u"0");
  EXPECT_EQ(rtl::IntToHex(7, -3), u"7");
  EXPECT_EQ(rtl::IntToHex(0xFFFFFFFFFFFFFFFFull, 1), u"FFFFFFFFFFFFFFFF");
  EXPECT_EQ(rtl::IntToHex(1, 1000).size(), 32u);
}

TEST(Text, TrimRemovesCodesUpToSpaceOnly) {
  EXPECT_EQ(rtl::Trim(u" \t\r\n\x01 a b \0 "s), u"a b");
  EXPECT_EQ(rtl::Trim(u"   "), u"");
  EXPECT_EQ(rtl::Trim(u""), u"");
  // 0xA0 (no-break space) and '!' are above 32 and stay.
  EXPECT_EQ(rtl::Trim(u"\u00A0x!"), u"\u00A0x!");
}

TEST(Text, LowerCaseMapsAsciiLettersOnly) {
  EXPECT_EQ(rtl::LowerCase(u"AZaz@[`{09"), u"azaz@[`{09");
  EXPECT_EQ(rtl::LowerCase(u"\u00C4\u0391X"), u"\u00C4\u0391x");
}

struct Utf8Case {
  const char* name;
  std::string bytes;
  String text;
};

TEST(Utf8, DecodesValidAndReplacesEachIllFormedPart) {
  const String bad(1, u'\uFFFD');
  const Utf8Case cases[] = {
      {"ascii and nul", std::string("a\0b", 3), String(u"a\0b", 3)},
      {"two, three and four bytes", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80",
       u"\u00E9\u20AC\U0001F600"},
      {"highest code point", "\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
      {"stray continuation",
       "\x80"
       "a",
       bad + u"a"},
      {"truncated at end", "a\xE2\x82", u"a" + bad},
      {"truncated before ascii",
       "\xE2\x82"
       "A",
       bad + u"A"},
      {"truncated before a new lead", "\xF0\x9F\xC3\xA9", bad + u"\u00E9"},
      {"overlong two bytes", "\xC0\xAF", bad + bad},
      {"overlong three bytes", "\xE0\x80\xAF", bad + bad + bad},
      {"overlong four bytes", "\xF0\x80\x80\xAF", bad + bad + bad + bad},
      {"surrogate", "\xED\xA0\x80", bad + bad + bad},
      {"above U+10FFFF", "\xF4\x90\x80\x80", bad + bad + bad + bad},
      {"invalid leads", "\xF5\xFF\xFE", bad + bad + bad},
  };
  for (const Utf8Case& c : cases) {
    EXPECT_EQ(rtl::Utf8ToString(c.bytes), c.text) << c.name;
  }
}

TEST(Utf8, NeverReadsPastTheView) {
  // The bytes after the view would complete the sequence; they must not be used.
  const char buffer[] = "\xE2\x82\xAC";
  EXPECT_EQ(rtl::Utf8ToString(std::string_view(buffer, 2)), u"\uFFFD");
  EXPECT_EQ(rtl::Utf8ToString(std::string_view(buffer, 0)), u"");
}

TEST(Utf8, EncodesAndRoundTrips) {
  const String text = u"a\u00E9\u20AC\U0001F600";
  EXPECT_EQ(rtl::StringToUtf8(text), "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
  EXPECT_EQ(rtl::Utf8ToString(rtl::StringToUtf8(text)), text);
  // Unpaired surrogates: a high one at the end, a low one alone, a high one
  // followed by a letter.
  EXPECT_EQ(rtl::StringToUtf8(String(1, char16_t(0xD83D))), "\xEF\xBF\xBD");
  EXPECT_EQ(rtl::StringToUtf8(String(1, char16_t(0xDE00)) + u"x"), "\xEF\xBF\xBDx");
  EXPECT_EQ(rtl::StringToUtf8(String(1, char16_t(0xD83D)) + u"x"), "\xEF\xBF\xBDx");
}

}  // namespace
