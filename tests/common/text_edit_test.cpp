// The shared text edits, as tables of cases.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/text_edit.h"

namespace qel {
namespace {

TEST(TrimCharsTest, Table) {
  const struct {
    std::string text, set, expected;
  } rows[] = {
      {"\"C:\\a b.mp4\"", "\"", "C:\\a b.mp4"},
      {"\"\"inner\"\"", "\"", "inner"},
      {"\"a\"b\"", "\"", "a\"b"},  // only the ends
      {"\"quoted\"", "", "\"quoted\""},
      {"  x y \t", " \t", "x y"},
      {"\"\"\"", "\"", ""},
      {"", " ", ""},
      {"abc", "xyz", "abc"},
  };
  for (const auto& row : rows) {
    std::string text = row.text;
    trimChars(text, row.set);
    EXPECT_EQ(text, row.expected) << "[" << row.text << "] set [" << row.set << "]";
  }
}

TEST(TrimSpacesTest, RemovesCLocaleSpaceAtBothEnds) {
  const struct {
    std::string text, expected;
  } rows[] = {
      {"\t 00:01:30\r\n", "00:01:30"}, {"   ", ""}, {"", ""}, {"\v\fa b\f", "a b"}, {"x", "x"},
  };
  for (const auto& row : rows) {
    std::string text = row.text;
    trimSpaces(text);
    EXPECT_EQ(text, row.expected) << "[" << row.text << "]";
  }
}

TEST(SplitWhitespaceTest, Table) {
  using V = std::vector<std::string>;
  const struct {
    std::string text;
    V expected;
  } rows[] = {
      {"-c:v libx264  -crf 23 -i \"C:\\my videos\\a.mp4\"",
       V{"-c:v", "libx264", "-crf", "23", "-i", "\"C:\\my videos\\a.mp4\""}},
      {"-vf \"scale=1:2, crop\"\t-y\r\n", V{"-vf", "\"scale=1:2, crop\"", "-y"}},
      {"a\"b c\"d e", V{"a\"b c\"d", "e"}},
      {"-metadata title=\"x y -an", V{"-metadata", "title=\"x", "y", "-an"}},  // lone quote
      {"", V{}},
      {" \n\t\r ", V{}},
      {"\"\"", V{"\"\""}},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(splitWhitespace(row.text), row.expected) << row.text;
  }
}

}  // namespace
}  // namespace qel
