#include <gtest/gtest.h>

#include <string>

#include "common/text_convert.h"

namespace qel {
namespace {

struct DecodeCase {
  const char* name;
  std::string utf8;
  std::wstring wide;
};

const DecodeCase kDecodeCases[] = {
    {"Empty", "", L""},
    {"Ascii", "plain text.mp4", L"plain text.mp4"},
    {"TwoByte", "h\xC3\xA9llo", L"h\u00E9llo"},
    {"ThreeByte", "\xE4\xB8\xAD\xE6\x96\x87", L"\u4E2D\u6587"},
    {"FourByteIsOneWideChar", "\xF0\x9F\x98\x80", std::wstring(1, static_cast<wchar_t>(0x1F600))},
    {"LoneLeadByte",
     "a\xFF"
     "b",
     L"a\uFFFDb"},
    {"TruncatedAtEnd", "a\xC3", L"a\uFFFD"},
    {"TruncatedThreeByteBeforeAscii", "\xE2\x82x", L"\uFFFDx"},
    {"LoneContinuation",
     "\x80"
     "a",
     L"\uFFFDa"},
    {"OverlongTwoByte", "\xC0\xAF", L"\uFFFD\uFFFD"},
    {"OverlongThreeByte", "\xE0\x80\xAF", L"\uFFFD\uFFFD\uFFFD"},
    {"EncodedSurrogate", "\xED\xA0\x80", L"\uFFFD\uFFFD\uFFFD"},
    {"PastLastCodePoint", "\xF4\x90\x80\x80", L"\uFFFD\uFFFD\uFFFD\uFFFD"},
    {"LastCodePoint", "\xF4\x8F\xBF\xBF", std::wstring(1, static_cast<wchar_t>(0x10FFFF))},
};

class Utf8DecodeTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(Utf8DecodeTest, Utf8AndAnsiToWide) {
  const DecodeCase& c = GetParam();
  EXPECT_EQ(utf8ToWide(c.utf8.c_str()), c.wide);
  EXPECT_EQ(utf8ToWide(c.utf8), c.wide);
  // The active code page is UTF-8 here.
  EXPECT_EQ(ansiToWide(c.utf8.c_str()), c.wide);
  // Back to narrow text: always well-formed, and valid input survives unchanged.
  EXPECT_EQ(utf8ToAnsi(c.utf8.c_str()), wideToUtf8(c.wide));
}

INSTANTIATE_TEST_SUITE_P(Texts, Utf8DecodeTest, ::testing::ValuesIn(kDecodeCases),
                         [](const ::testing::TestParamInfo<DecodeCase>& param_info) {
                           return std::string(param_info.param.name);
                         });

TEST(TextConvertTest, NullTextGivesEmptyResult) {
  EXPECT_EQ(utf8ToWide(static_cast<const char*>(nullptr)), L"");
  EXPECT_EQ(ansiToWide(static_cast<const char*>(nullptr)), L"");
  EXPECT_EQ(utf8ToAnsi(static_cast<const char*>(nullptr)), "");
  EXPECT_EQ(wideToUtf8(static_cast<const wchar_t*>(nullptr)), "");
}

TEST(TextConvertTest, ValidTextRoundTripsUnchanged) {
  const std::string text = "/tmp/\xE4\xB8\xAD\xE6\x96\x87 caf\xC3\xA9 \xF0\x9F\x98\x80.mp4";
  EXPECT_EQ(wideToUtf8(utf8ToWide(text)), text);
  EXPECT_EQ(utf8ToAnsi(text), text);
}

TEST(TextConvertTest, InvalidInputBecomesReplacementCharacterInNarrowText) {
  EXPECT_EQ(utf8ToAnsi("a\xFF"
                       "b"),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(utf8ToAnsi("\xC3"), "\xEF\xBF\xBD");
}

TEST(TextConvertTest, StopsAtFirstNul) {
  const std::string withNul("ab\0cd", 5);
  EXPECT_EQ(utf8ToWide(withNul), L"ab");
  EXPECT_EQ(utf8ToAnsi(withNul), "ab");
  EXPECT_EQ(wideToUtf8(std::wstring(L"xy\0z", 4)), "xy");
}

TEST(TextConvertTest, WideValuesOutsideUnicodeBecomeReplacementCharacter) {
  std::wstring wide;
  wide.push_back(static_cast<wchar_t>(0xD800));    // lone surrogate
  wide.push_back(static_cast<wchar_t>(0x110000));  // past U+10FFFF
  wide.push_back(static_cast<wchar_t>(-1));
  wide.push_back(L'a');
  EXPECT_EQ(wideToUtf8(wide),
            "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"
            "a");
}

TEST(TextConvertTest, RepairReplacesOnlyIllFormedBytesAndKeepsNuls) {
  struct Case {
    std::string in;
    std::string out;
  } cases[] = {
      {"plain", "plain"},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xAC", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xAC"},
      {"a\xFF"
       "b",
       "a\xEF\xBF\xBD"
       "b"},
      {"cut\xE2\x82", "cut\xEF\xBF\xBD"},                        // truncated sequence at the end
      {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},                  // overlong
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // surrogate
  };
  for (const Case& c : cases) EXPECT_EQ(toValidUtf8(c.in), c.out) << c.in;
  EXPECT_EQ(toValidUtf8(std::string("a\0\xFF", 3)), std::string("a\0\xEF\xBF\xBD", 5));
}

}  // namespace
}  // namespace qel
