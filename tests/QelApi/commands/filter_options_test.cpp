// Filter-option parsing: tokens, option walks, filter chains and accessors.
#include "commands/filter_options.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace qel {

void PrintTo(const FilterSegment& s, std::ostream* os) {
  *os << "{" << s.kind << " " << s.media << " name=" << s.name << " args=" << s.args << " in=[";
  for (const auto& p : s.inputPads) *os << p << ";";
  *os << "] out=[";
  for (const auto& p : s.outputPads) *os << p << ";";
  *os << "]}";
}

void PrintTo(const FilterOptions& o, std::ostream* os) {
  *os << "{a=" << o.hasAudioFilter << " v=" << o.hasVideoFilter << " o=" << o.hasOtherOptions << " ";
  for (const auto& s : o.segments) PrintTo(s, os);
  *os << "}";
}

namespace {

FilterSegment filter(char media, std::string name, std::string args, std::vector<std::string> in = {},
                     std::vector<std::string> out = {}) {
  FilterSegment s;
  s.kind = 'f';
  s.media = media;
  s.name = std::move(name);
  s.args = std::move(args);
  s.inputPads = std::move(in);
  s.outputPads = std::move(out);
  return s;
}

FilterSegment option(std::string name, std::string args) {
  FilterSegment s;
  s.kind = 'o';
  s.name = std::move(name);
  s.args = std::move(args);
  return s;
}

FilterOptions record(bool audio, bool video, bool other, std::vector<FilterSegment> segments) {
  FilterOptions o;
  o.hasAudioFilter = audio;
  o.hasVideoFilter = video;
  o.hasOtherOptions = other;
  o.segments = std::move(segments);
  return o;
}

FilterOptions parsed(std::string_view text) {
  FilterOptions o;
  parseFilterOptions(o, text);
  return o;
}

FilterOptions chain(std::string_view text) {
  FilterOptions o;
  parseFilterChain(o, text);
  return o;
}

TEST(ReadFilterTokenTest, Cases) {
  struct Case {
    std::string_view text;
    std::string_view terminators;
    std::string_view token;
    std::size_t end;
  };
  const Case cases[] = {
      {"a\\ b c", " ", "a b", 4},
      {"'x y' z", " ", "'x y'", 5},
      {"\"x y\" z", " ", "x y", 5},
      {"ab'c d'ef g", " ", "ab'c d'ef", 9},
      {"a\"b c\"d e", " ", "ab cd", 7},
      {"  abc  ", " ", "abc", 5},
      {"abc \t\n", "", "abc", 6},
      {"'a '  ", "", "'a '", 6},
      {"\"a \"  ", "", "a ", 6},
      {"a\\   ", "", "a ", 5},
      {"x\\", " ", "x\\", 2},
      {"abc\"", " ", "abc", 4},
      {"0:v]scale", "]", "0:v", 3},
      {"a'b;c'd;e", ";", "a'b;c'd", 7},
      {"a\\;b;c", ";", "a;b", 4},
      {"", " ", "", 0},
      {"   ", " ", "", 3},
      {" \t x", " ", "x", 4},
      {std::string_view("ab\0cd", 5), "", "ab", 2},
      // An unclosed quote is closed in the token: the token is one byte longer
      // than the text it was read from.
      {"'unclosed", " ", "'unclosed'", 9},
      {"'", "", "''", 1},
      {"x'a b", " ", "x'a b'", 5},
      {"'abc   ", "", "'abc   '", 7},
      {"\"open", " ", "open", 5},
  };
  for (const Case& c : cases) {
    std::size_t pos = 0;
    EXPECT_EQ(readFilterToken(c.text, pos, c.terminators), c.token) << "text: " << c.text;
    EXPECT_EQ(pos, c.end) << "text: " << c.text;
  }
}

TEST(ReadFilterTokenTest, UnclosedQuoteOverLongTextStaysInBounds) {
  // Exercised under AddressSanitizer: a buffer sized from the remaining text
  // would be written one byte past its end here.
  for (std::size_t length : {1u, 7u, 8u, 15u, 16u, 31u, 4096u}) {
    const std::string text = "'" + std::string(length, 'x');
    const std::string heapText(text);  // its own allocation, exactly sized
    std::size_t pos = 0;
    const std::string token = readFilterToken(heapText, pos, " ");
    EXPECT_EQ(token, text + "'");
    EXPECT_EQ(pos, heapText.size());
  }
}

TEST(ReadFilterTokenTest, StartsAtCursorAndLeavesTerminator) {
  const std::string_view text = "-vf scale=1:1 out.mp4";
  std::size_t pos = 0;
  EXPECT_EQ(readFilterToken(text, pos, " "), "-vf");
  EXPECT_EQ(text[pos], ' ');
  EXPECT_EQ(readFilterToken(text, pos, " "), "scale=1:1");
  EXPECT_EQ(readFilterToken(text, pos, " "), "out.mp4");
  EXPECT_EQ(pos, text.size());
}

TEST(SplitOptionTokensTest, StopsAtFirstEmptyToken) {
  struct Case {
    std::string_view text;
    std::vector<std::string> tokens;
  };
  const Case cases[] = {
      {"-i a.mp4 -vf 'scale=1:2' out.mp4", {"-i", "a.mp4", "-vf", "'scale=1:2'", "out.mp4"}},
      {"-a b \"\" c", {"-a", "b"}},
      {"x y ", {"x", "y"}},
      {"  x", {"x"}},
      {"", {}},
      {"-vf \"a b\" c", {"-vf", "a b", "c"}},
      {"a\\ b c", {"a b", "c"}},
  };
  for (const Case& c : cases) EXPECT_EQ(splitOptionTokens(c.text), c.tokens) << c.text;
}

TEST(FindFilterOptionTest, Cases) {
  struct Case {
    std::string_view text;
    std::string option;
    std::string value;
  };
  const Case cases[] = {
      {"-i a.mp4 -filter_complex [0:v]crop=100:100:0:0 out.mp4", "-filter_complex", "[0:v]crop=100:100:0:0"},
      {"-vf \"scale=1:2\" out.mp4", "-vf", "scale=1:2"},
      {"-vf 'scale=1:2' out.mp4", "-vf", "'scale=1:2'"},
      {"-af volume=2 -lavfi null", "-lavfi", "null"},
      {"-filter: x", "-filter:", "x"},
      {"-c:v libx264 out.mp4", "", ""},
      {"", "", ""},
      {"-filter:v x -filter_complex:0 y", "", ""},
      {"-vf a -af", "-af", "a"},
      {"-af", "-af", ""},
      {"-vf -af x", "-af", "x"},
  };
  for (const Case& c : cases) {
    const auto [opt, value] = findFilterOption(c.text);
    EXPECT_EQ(opt, c.option) << c.text;
    EXPECT_EQ(value, c.value) << c.text;
  }
}

TEST(ParseFilterOptionsTest, Cases) {
  struct Case {
    std::string_view text;
    FilterOptions expected;
  };
  const FilterSegment scale640 = filter('v', "scale", "640:-1");
  const Case cases[] = {
      {"-filter_complex '[0:v]scale=1280:-2[v];[0:a]volume=2[a]' -map [v] -map [a] -c:v libx264 out.mp4",
       record(true, true, true,
              {filter('v', "scale", "1280:-2", {"0:v"}, {"v"}), filter('a', "volume", "2", {"0:a"}, {"a"}),
               option("map", "[v]"), option("map", "[a]"), option("c:v", "libx264")})},
      {"-vf 'scale=640:-1'", record(false, true, false, {scale640})},
      {"-vf \"scale=640:-1\"", record(false, true, false, {scale640})},
      {"-af volume=0.5 -vn", record(true, false, true, {filter('a', "volume", "0.5"), option("vn", "1")})},
      {"-ss 10 -i in.mp4 -t 5", record(false, false, true, {option("ss", "10"), option("t", "5")})},
      {"-preset fast -crf 23", record(false, false, false, {})},
      {"-c:v", record(false, false, false, {})},
      {"-y -c:v", record(false, false, true, {option("y", "1")})},
      {"-t 5 -i", record(false, false, true, {option("t", "5")})},
      {"-t 5 -crf", record(false, false, true, {option("t", "5")})},
      {"-crf -t 5", record(false, false, false, {})},
      {"-- -ss 5 -t 3", record(false, false, true, {option("t", "3")})},
      {"-- -- -t 3", record(false, false, false, {})},
      {"-t 3 --", record(false, false, true, {option("t", "3")})},
      {"- -t 3 in.mp4 stray", record(false, false, true, {option("t", "3")})},
      {"-filter:v:0 scale=1:1", record(false, false, true, {option("filter:v:0", "scale=1:1")})},
      {"-filter:a 'volume=2'", record(true, false, false, {filter('a', "volume", "2")})},
      {"-filter:v hflip", record(false, true, false, {filter('v', "hflip", "")})},
      {"-lavfi \"[0:v]split[a][b]\"", record(false, true, false, {filter('v', "split", "", {"0:v"}, {"a", "b"})})},
      {"-vf '  scale=1:1  '", record(false, true, false, {filter('v', "scale", "1:1")})},
      {"-vf ''", record(false, false, false, {})},
      {"-vf \"'\"", record(false, false, false, {filter('n', "''", "")})},
      {"-hwaccels -t", record(false, false, true, {option("hwaccels", "-t")})},
      {"-map [v] -c:a:0 copy", record(false, false, true, {option("map", "[v]"), option("c:a:0", "copy")})},
      {"-vf scale=1:1 \"\" -t 5", record(false, true, false, {filter('v', "scale", "1:1")})},
      {"-i -t -t 4", record(false, false, true, {option("t", "4")})},
      {"", record(false, false, false, {})},
  };
  for (const Case& c : cases) EXPECT_EQ(parsed(c.text), c.expected) << c.text;
}

TEST(ParseFilterOptionsTest, ClearsAReusedRecord) {
  FilterOptions o;
  parseFilterOptions(o, "-af volume=2 -vf scale=1:1 -t 4");
  ASSERT_EQ(o.segments.size(), 3u);
  parseFilterOptions(o, "-preset fast");
  EXPECT_EQ(o, FilterOptions{});
}

TEST(ParseFilterChainTest, Cases) {
  struct Case {
    std::string_view text;
    FilterOptions expected;
  };
  const Case cases[] = {
      {"sws_flags=bicubic;[0:v]scale=320:240", record(false, true, false, {filter('v', "scale", "320:240", {"0:v"})})},
      {"  sws_flags=bicubic", record(false, false, false, {})},
      {"scale=1:2,,crop=10:10",
       record(false, true, false, {filter('v', "scale", "1:2"), filter('v', "crop", "10:10")})},
      // The filter is dropped at its broken output label, but its media counts.
      {"[in]scale=2:2[", record(false, true, false, {})},
      {"[in]scale=2:2[]", record(false, true, false, {})},
      {"[]scale=1", record(false, false, false, {})},
      {"[0:v", record(false, false, false, {})},
      {"hflip,[in", record(false, true, false, {filter('v', "hflip", "")})},
      {"scalee=1", record(false, false, false, {filter('n', "scalee", "1")})},
      {"[a] [b] overlay=10:10 [out] ; [out]hflip",
       record(false, true, false,
              {filter('v', "overlay", "10:10", {"a", "b"}, {"out"}), filter('v', "hflip", "", {"out"})})},
      {"drawtext=text='a,b;c':x=1", record(false, true, false, {filter('v', "drawtext", "text='a,b;c':x=1")})},
      {"scale=1:1]crop=1:1", record(false, true, false, {filter('v', "scale", "1:1")})},
      {"amovie='a\\:b.mp3',volume=2[out1]",
       record(true, false, false, {filter('a', "amovie", "'a\\:b.mp3'"), filter('a', "volume", "2", {}, {"out1"})})},
      {"null", record(false, true, false, {filter('v', "null", "")})},
      {"volume = 2", record(true, false, false, {filter('a', "volume", "2")})},
      {"[0:v][1:v]xfade=transition=fade:duration=1:offset=2[v];[0:a][1:a]acrossfade=d=1[a]",
       record(true, true, false,
              {filter('v', "xfade", "transition=fade:duration=1:offset=2", {"0:v", "1:v"}, {"v"}),
               filter('a', "acrossfade", "d=1", {"0:a", "1:a"}, {"a"})})},
      {"", record(false, false, false, {})},
      {";;", record(false, false, false, {})},
  };
  for (const Case& c : cases) EXPECT_EQ(chain(c.text), c.expected) << c.text;
}

TEST(ParseFilterChainTest, AppendsToExistingSegments) {
  FilterOptions o = record(false, false, true, {option("t", "5")});
  parseFilterChain(o, "volume=2");
  EXPECT_EQ(o, record(true, false, true, {option("t", "5"), filter('a', "volume", "2")}));
}

TEST(FilterAccessorsTest, PickFiltersNeverOptions) {
  const FilterOptions o =
      parsed("-t 5 -filter_complex '[0:a]volume=2[a];[0:v]scale=1:1,crop=2:2[v];[a]atempo=2' -map [v]");
  EXPECT_EQ(firstFilterSegment(o).name, "volume");
  EXPECT_EQ(lastFilterSegment(o).name, "atempo");
  EXPECT_EQ(firstFilterOfMedia(o, 'v').name, "scale");
  EXPECT_EQ(lastFilterOfMedia(o, 'v').name, "crop");
  EXPECT_EQ(lastFilterOfMedia(o, 'v').outputPads, std::vector<std::string>{"v"});
  EXPECT_EQ(firstFilterOfMedia(o, 'a').name, "volume");
  EXPECT_EQ(lastFilterOfMedia(o, 'a').name, "atempo");

  const FilterOptions optionsOnly = parsed("-t 5 -map [v]");
  EXPECT_EQ(firstFilterSegment(optionsOnly), FilterSegment{});
  EXPECT_EQ(lastFilterSegment(optionsOnly), FilterSegment{});
  EXPECT_EQ(lastFilterOfMedia(optionsOnly, 'a'), FilterSegment{});
  // A filter of neither list is a filter of media 'n', not of 'a' or 'v'.
  const FilterOptions unknown = parsed("-vf scalee=1");
  EXPECT_EQ(firstFilterSegment(unknown).name, "scalee");
  EXPECT_EQ(firstFilterOfMedia(unknown, 'v'), FilterSegment{});
}

TEST(FilterSegmentTest, CopiesAndMoves) {
  FilterSegment source = filter('v', "scale", "1:1", {"in"}, {"out"});
  const FilterSegment copy = source;
  EXPECT_EQ(copy, source);
  FilterSegment moved = std::move(source);
  EXPECT_EQ(moved, copy);
  EXPECT_EQ(source, FilterSegment{});  // NOLINT(bugprone-use-after-move): moved-from is empty by contract
  FilterSegment target = filter('a', "volume", "2");
  target = std::move(moved);
  EXPECT_EQ(target, copy);
  EXPECT_EQ(moved, FilterSegment{});  // NOLINT(bugprone-use-after-move)
}

}  // namespace
}  // namespace qel
