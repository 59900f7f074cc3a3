// Text helpers: conversions, Format's limit, splitting, joining, trimming,
// replacing, prefix/suffix tests, decimal parsing, case mapping, last error.
#include <cerrno>
#include <cstdint>
#include <limits>

#include <gtest/gtest.h>

#include "tool/log_capture.h"
#include "tool/string_util.h"

namespace {

using namespace tool;

TEST(StringUtilTest, FormatCutsAt4087Characters) {
  std::string big(5000, 'z');
  std::string text = Format("%s", big.c_str());
  EXPECT_EQ(text, big.substr(0, 4087));
  // Narrow text is cut byte by byte, even inside a UTF-8 sequence; text from a
  // wide argument only between whole characters.
  const std::string narrow = std::string(4086, 'z') + "\xC3\xA9";
  EXPECT_EQ(Format("%s", narrow.c_str()), std::string(4086, 'z') + "\xC3");
  const std::wstring wide = std::wstring(4086, L'z') + L"\u00e9";
  EXPECT_EQ(Format("%S", wide.c_str()), std::string(4086, 'z'));
  EXPECT_EQ(Format("%d-%s-%.2f-%llu", 7, "x", 1.5, 18446744073709551615ULL), "7-x-1.50-18446744073709551615");
}

TEST(StringUtilTest, FormatConversions) {
  // Called through a volatile pointer: the compiler's printf checks know neither
  // the I64 and h prefixes nor the deliberate oddities below.
  std::string (*volatile format)(const char*, ...) = &Format;
  int written = 12345;
  const std::string text = format("[%5s|%-5s|%.2s|%05d|%x %X %o|%c|%%|%lu %zu %I64d|%p|%*d|%*d|%n|%+.3e|%S]", "ab",
                                  "ab", "abc", 42, 255, 255, 8, 'q', 7UL, std::size_t{8}, -9LL,
                                  static_cast<void*>(nullptr), 4, 7, -4, 7, &written, 1234.5, L"\u00e9");
  EXPECT_EQ(text, "[   ab|ab   |ab|00042|ff FF 10|q|%|7 8 -9|0000000000000000|   7|7   ||+1.234e+03|\xC3\xA9]");
  EXPECT_EQ(written, 12345);  // %n never writes
  EXPECT_EQ(format("%s", static_cast<const char*>(nullptr)), "(null)");
  // Widths count output bytes, as in C: the 3-byte character gets 2 blanks.
  EXPECT_EQ(format("%hs|%ls|%5.1S", "n", L"w", L"\u4e2d\u6587"), "n|w|  \xE4\xB8\xAD");
  EXPECT_EQ(format("%"), "");
  EXPECT_EQ(format("%y|%d", 5), "%y|5");
}

TEST(StringUtilTest, SplitAtWholeSeparator) {
  struct Case {
    std::string text, separator;
    std::vector<std::string> pieces;
  };
  const Case cases[] = {
      {"a,b,,c", ",", {"a", "b", "", "c"}},
      {"a,b,", ",", {"a", "b", ""}},
      {",a", ",", {"", "a"}},
      {"a::b", "::", {"a", "b"}},
      {"", ",", {""}},
      {"a:b::c", "::", {"a:b", "c"}},
      {"abc", "", {"abc"}},
  };
  for (const Case& c : cases) EXPECT_EQ(SplitedStringVectorBySeparator(c.text, c.separator), c.pieces) << c.text;
}

TEST(StringUtilTest, JoinKeepsOneCharacterSeparatorsSingle) {
  struct Case {
    std::vector<std::string> items;
    std::string separator, joined;
  };
  const Case cases[] = {
      {{"", "usr", "bin"}, "/", "/usr/bin"},
      {{"a/", "b"}, "/", "a/b"},
      {{"a", "", "b"}, ",", "a,b"},
      {{"a", ""}, ",", "a,"},
      {{"", ""}, ",", ","},
      {{}, ",", ""},
      {{"a::", "b"}, "::", "a::::b"},
      {{"x", "y", "z"}, "", "xyz"},
  };
  for (const Case& c : cases) EXPECT_EQ(StringJoinedBySeparator(c.items, c.separator), c.joined) << c.joined;
}

TEST(StringUtilTest, ReplaceAllNeverSearchesWhatItInserted) {
  EXPECT_EQ(ReplaceAll("aaa", "a", "aa"), "aaaaaa");
  EXPECT_EQ(ReplaceAll("a.b.c", ".", "\\"), "a\\b\\c");
  EXPECT_EQ(ReplaceAll("abc", "x", "y"), "abc");
  EXPECT_EQ(ReplaceAll("abc", "", "y"), "abc");
  EXPECT_EQ(ReplaceAll("abab", "ab", ""), "");
}

TEST(StringUtilTest, TrimBothEnds) {
  EXPECT_EQ(Trim("\\\\host\\share\\", "\\"), "host\\share");
  EXPECT_EQ(Trim("  x y \t", " \t"), "x y");
  EXPECT_EQ(Trim("////", "/"), "");
  EXPECT_EQ(Trim(" x ", ""), " x ");
  EXPECT_EQ(Trim("", " "), "");
}

TEST(StringUtilTest, PrefixAndSuffixIgnoreAsciiCase) {
  struct Case {
    std::string text, other;
    bool starts, ends;
  };
  const Case cases[] = {
      {"file.TXT", ".txt", false, true},
      {"a", "ab", false, false},
      {"ABC", "ab", true, false},
      {"abc", "", true, true},
      {"", "", true, true},
      {"\xC3\x89t\xC3\xA9", "\xC3\xA9", false, true},
      {"\xC3\x89t\xC3\xA9", "\xC3\xA9", false, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(StartsWith(c.text, c.other), c.starts) << c.text << " / " << c.other;
    EXPECT_EQ(EndsWith(c.text, c.other), c.ends) << c.text << " / " << c.other;
  }
}

TEST(StringUtilTest, ToInt64FollowsStrtollRules) {
  struct Case {
    std::string text;
    int64_t value;
  };
  const Case cases[] = {
      {"42abc", 42},
      {"", 0},
      {"  -17", -17},
      {"+8", 8},
      {"abc", 0},
      {"-99999999999999999999999", std::numeric_limits<int64_t>::min()},
      {"99999999999999999999999", std::numeric_limits<int64_t>::max()},
      {"0x10", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(ToInt64(c.text), c.value) << c.text;
}

TEST(StringUtilTest, CaseMappingTouchesAsciiOnly) {
  EXPECT_EQ(ToLowerCase("AbC-\xC3\x89Z"), "abc-\xC3\x89z");
  EXPECT_EQ(ToUpperCase("abc-\xC3\xA9z"), "ABC-\xC3\xA9Z");
}

TEST(StringUtilTest, PrettyLastErrorNamesTheCode) {
  errno = EACCES;
  EXPECT_EQ(PrettyLastError(), "errno:13, 'Permission denied'");
  errno = 0;
  EXPECT_EQ(PrettyLastError().rfind("errno:0, '", 0), 0u);
}

TEST(StringUtilTest, ConversionsRoundTripAndStopAtZero) {
  const std::string utf8 = "a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80";
  const std::wstring wide = L"a\u00e9\u4e2d\U0001F600";
  EXPECT_EQ(UnicodeFromUTF8(utf8), wide);
  EXPECT_EQ(UTF8FromUnicode(wide), utf8);
  EXPECT_EQ(UTF8FromUnicode(std::wstring(L"ab\0cd", 5)), "ab");
  EXPECT_EQ(UnicodeFromUTF8(std::string("ab\0cd", 5)), L"ab");
  EXPECT_EQ(UTF8FromUnicode(L""), "");
}

TEST(StringUtilTest, IllFormedTextBecomesReplacementCharacters) {
  struct Case {
    std::string utf8;
    std::wstring wide;
  };
  const Case cases[] = {
      {"\xFF", L"\uFFFD"},                                // never a UTF-8 byte
      {"a\xC3", L"a\uFFFD"},                              // cut sequence
      {"\xC0\xAF", L"\uFFFD\uFFFD"},                      // overlong
      {"\xED\xA0\x80", L"\uFFFD\uFFFD\uFFFD"},            // encoded surrogate
      {"\xF4\x90\x80\x80", L"\uFFFD\uFFFD\uFFFD\uFFFD"},  // beyond U+10FFFF
      {"\xE4\xB8x", L"\uFFFDx"},
  };
  for (const Case& c : cases) EXPECT_EQ(UnicodeFromUTF8(c.utf8), c.wide);
  const wchar_t pair[] = {0xD83D, 0xDE00, 0};
  EXPECT_EQ(UTF8FromUnicode(pair), "\xF0\x9F\x98\x80");
  const wchar_t lone[] = {L'x', 0xDC00, 0xD800, 0};
  EXPECT_EQ(UTF8FromUnicode(lone), "x\xEF\xBF\xBD\xEF\xBF\xBD");
  const wchar_t beyond[] = {static_cast<wchar_t>(0x110000), 0};
  EXPECT_EQ(UTF8FromUnicode(beyond), "\xEF\xBF\xBD");
}

TEST(StringUtilTest, EmptyUtf8ConvertsWithoutALogLine) {
  tool_test::LogCapture log;
  EXPECT_EQ(UnicodeFromUTF8(""), L"");
  EXPECT_EQ(log.text(), "");
}

}  // namespace
