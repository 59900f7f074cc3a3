// The text helpers of the base layer, as tables of cases.
#include <string>

#include <gtest/gtest.h>

#include "base/text_helpers.h"

namespace qel {
namespace {

TEST(DoubleToStringTest, Table) {
  const struct {
    double value;
    const char* expected;
  } rows[] = {
      {0.5, "0.5"}, {100, "100"},     {1234567, "1.23457e+06"}, {3723.456, "3723.46"},
      {0, "0"},     {-2.25, "-2.25"}, {0.0001, "0.0001"},       {0.00001, "1e-05"},
  };
  for (const auto& row : rows) EXPECT_EQ(doubleToString(row.value), row.expected) << row.value;
}

TEST(MediaTypeTest, AudioAndSubtitleExtensions) {
  EXPECT_TRUE(isAudioFile("C:\\music\\song.MP3"));
  EXPECT_TRUE(isAudioFile("/m/a.flac"));
  EXPECT_TRUE(isAudioFile("/m/a.Opus"));
  EXPECT_FALSE(isAudioFile("/m/a.mp3.txt"));
  EXPECT_FALSE(isAudioFile("/m/a.mp4"));
  EXPECT_FALSE(isAudioFile(""));
  EXPECT_FALSE(isAudioFile("mp3"));
  EXPECT_TRUE(isSubtitleFile("/s/x.SRT"));
  EXPECT_TRUE(isSubtitleFile("/s/x.ass"));
  EXPECT_FALSE(isSubtitleFile("/s/x.ssa"));
  EXPECT_FALSE(isSubtitleFile("/s/x.assx"));
}

TEST(ExtractInputFilesTest, Table) {
  const struct {
    std::string line;
    int expected;
  } rows[] = {
      // One file named as an input, as a subtitle input and in movie/amovie sources.
      {"ffmpeg -i \"a.mp4\" -i \"subs.ass\" -filter_complex \"movie='a.mp4'[v];amovie='a.mp4'[a]\" \"out.mp4\"", 1},
      // The graph spells the path escaped: counts twice.
      {"ffmpeg -i \"C:/v/a.mp4\" -filter_complex \"movie='C\\\\:/v/a.mp4'[v]\" \"o.mp4\"", 2},
      {" -i \"a.mp4\" -i \"b.mp4\" -i \"a.mp4\"", 2},
      {"ffmpeg -f lavfi -i \"nullsrc=s=16x16\" \"o.mp4\"", 1},
      {"movie='x.mp4", 0},        // no closing quote
      {" -i \"unterminated", 0},  // no closing double quote
      {" -i \"sub.ASS\"", 1},     // the .ass test is case-sensitive
      {"", 0},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(extractInputFiles(row.line), row.expected) << row.line;
    std::wstring wideLine(row.line.begin(), row.line.end());
    EXPECT_EQ(extractInputFiles(wideLine), row.expected) << row.line;
  }
}

TEST(ExtractInputFilesTest, WideFormHandlesNonAsciiPaths) {
  EXPECT_EQ(extractInputFiles(std::wstring(L" -i \"/v/\u00e9t\u00e9.mp4\" -vf \"movie='/v/\u00e9t\u00e9.mp4'\"")), 1);
  EXPECT_EQ(extractInputFiles(std::string(" -i \"/v/\xc3\xa9t\xc3\xa9.mp4\" -i \"/v/b.mp4\"")), 2);
}

}  // namespace
}  // namespace qel
