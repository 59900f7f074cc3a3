#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "common/ascii_case.h"

namespace qel {
namespace {

// Every byte value: only 'A'-'Z' move, and each by exactly one letter. A fold
// done with "| 0x20", through a signed char or through the C library would
// move punctuation or high bytes as well.
TEST(AsciiCase, ToLowerChangesOnlyAsciiCapitals) {
  for (int value = 0; value < 256; ++value) {
    const char c = static_cast<char>(value);
    const char expected = (value >= 'A' && value <= 'Z') ? static_cast<char>(value + ('a' - 'A')) : c;
    EXPECT_EQ(asciiToLower(c), expected) << "byte " << value;
  }
}

struct LowerCase {
  std::string in;
  std::string out;
};

TEST(AsciiCase, LowerCopyLeavesNonAsciiBytesUntouched) {
  const LowerCase cases[] = {
      {"", ""},
      {"MP4", "mp4"},
      {"AppData", "appdata"},
      {".M2Ts", ".m2ts"},
      {"[@Z`{]", "[@z`{]"},
      {"\xC3\x89T\xC3\xA9", "\xC3\x89t\xC3\xA9"},  // "ÉTé": only the T changes
      {"\xC1\xE1\xFF\x80", "\xC1\xE1\xFF\x80"},    // Latin-1 Á á and high bytes
      {std::string("A\0B", 3), std::string("a\0b", 3)},
  };
  for (const LowerCase& c : cases) EXPECT_EQ(asciiLowerCopy(c.in), c.out) << c.in;
}

struct CompareCase {
  std::string_view text;
  std::string_view other;
  bool equals;
  bool startsWith;  // text starts with other
  bool endsWith;    // text ends with other
};

TEST(AsciiCase, CaseBlindComparisons) {
  const CompareCase cases[] = {
      {"", "", true, true, true},
      {"abc", "", false, true, true},
      {"", "a", false, false, false},
      {"Video.MKV", "video.mkv", true, true, true},
      {"Video.MKV", ".mkv", false, false, true},
      {"-I in.mp4", "-i ", false, true, false},
      {"a.mp4", "movie.mp4", false, false, false},  // longer than the text
      {"lavfiCutter", "LAVFICUTTER", true, true, true},
      {"lavfiCutter", "lavfiCutters", false, false, false},
      // Pairs that differ only in bit 0x20 but are not letters stay different.
      {"[", "{", false, false, false},
      {"@", "`", false, false, false},
      {"x.\xC3\x89", "X.\xC3\xA9", false, false, false},  // É vs é: not folded
      {"\xC1", "\xE1", false, false, false},              // Latin-1 Á vs á
      {"name.\xC3\x89", ".\xC3\x89", false, false, true},
  };
  for (const CompareCase& c : cases) {
    SCOPED_TRACE(std::string(c.text) + " | " + std::string(c.other));
    EXPECT_EQ(asciiIEquals(c.text, c.other), c.equals);
    EXPECT_EQ(asciiIEquals(c.other, c.text), c.equals);
    EXPECT_EQ(asciiIStartsWith(c.text, c.other), c.startsWith);
    EXPECT_EQ(asciiIEndsWith(c.text, c.other), c.endsWith);
  }
}

}  // namespace
}  // namespace qel
