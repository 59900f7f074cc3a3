// Filter-text helpers: path escaping (checked against the real ffmpeg), the
// undoing of escapes, time texts, input paths and output labels.
#include "commands/filter_text.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/command_line.h"
#include "common/subprocess.h"
#include "support/test_support.h"

namespace qel {
namespace {

TEST(EscapeFilterPath, WindowsLookingPathsKeepTheirForm) {
  struct Case {
    std::string path;
    std::string escaped;
  };
  const std::vector<Case> cases = {
      {"C\\:/a/b.mp4", "C\\:/a/b.mp4"},
      {"C:/a/b.mp4", "C\\:/a/b.mp4"},
      {"D:\\x\\y'z.mkv", "D\\:/x/y'\\\\\\''z.mkv"},
      {"\\\\server\\share\\a.mp4", "//server/share/a.mp4"},
      {"C:\\Users\\it's\\a.mp4", "C\\:/Users/it'\\\\\\''s/a.mp4"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(escapeFilterPath(c.path), std::optional<std::string>(c.escaped)) << c.path;
  }
}

TEST(EscapeFilterPath, NativePathsEscapeBothParserLevels) {
  struct Case {
    std::string path;
    std::string escaped;
  };
  const std::vector<Case> cases = {
      {"/v/a.mp4", "/v/a.mp4"},         {"/v/it's.mp4", "/v/it'\\\\\\''s.mp4"},
      {"/v/a:b.mp4", "/v/a\\:b.mp4"},   {"/v/a=b.mp4", "/v/a\\=b.mp4"},
      {"/v/b\\c.mp4", "/v/b\\\\c.mp4"}, {"/v/sp ace, x[1];z.mp4", "/v/sp ace, x[1];z.mp4"},
      {"a:b.mp4", "a\\:b.mp4"},  // relative, no drive letter
      {" lead.mp4 ", "\\ lead.mp4\\ "}, {"/v/C:/x.mp4", "/v/C\\:/x.mp4"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(escapeFilterPath(c.path), std::optional<std::string>(c.escaped)) << c.path;
  }
}

TEST(EscapeFilterPath, RefusesPathsThatCannotStandInACommandText) {
  EXPECT_EQ(escapeFilterPath("/v/a\"b.mp4"), std::nullopt);
  EXPECT_EQ(escapeFilterPath("C:\\a\"b.mp4"), std::nullopt);
  EXPECT_EQ(escapeFilterPath(std::string("/v/a\0b.mp4", 10)), std::nullopt);
}

TEST(UnescapeQuotes, ReplacesEachEscapedQuoteLeftToRight) {
  std::string text = "a'\\\\\\''b'\\\\\\'''\\\\\\''c";
  unescapeQuotes(text);
  EXPECT_EQ(text, "a'b''c");
  std::string plain = "no quotes \\ here";
  unescapeQuotes(plain);
  EXPECT_EQ(plain, "no quotes \\ here");
}

TEST(ExtractInputPaths, Table) {
  struct Case {
    std::string text;
    std::vector<std::string> paths;
  };
  const std::vector<Case> cases = {
      {"movie='C\\:/v/a.mp4',trim=0:5[out0];amovie='C\\:/v/a.mp4',atrim=0:5[out1]", {"C:/v/a.mp4"}},
      {"movie='C\\:/v/it'\\\\\\''s.mp4'[out0]", {"C:/v/it's.mp4"}},
      {"-ss 5 -i \"C:/v/a b.mp4\" -i C:/s/sub.ass", {"C:/v/a b.mp4"}},
      {"-i a.mp4 -i a.mp4", {"a.mp4", "a.mp4"}},
      {"scale=640:360,hflip", {}},
      {"", {}},
      // Native escapes are undone too.
      {"movie='/v/a\\:b\\=c\\\\d'\\\\\\''e.mp4'[out0]", {"/v/a:b=c\\d'e.mp4"}},
      // A quote followed by a comma inside the path does not close the source.
      {"movie='/v/a'\\\\\\'',b.mp4',scale=1:2[out0]", {"/v/a',b.mp4"}},
      // A path that itself holds movie=' stays one path.
      {"movie='/v/xmovie='\\\\\\''y.mp4'[out0]", {"/v/xmovie='y.mp4"}},
      // A chain written before the first source is no path.
      {"color=black:s=16x16[bg];movie='/v/a.mp4'[v];[bg][v]overlay[out0]", {"/v/a.mp4"}},
      // Short paths count; a source without a closing quote runs to the end.
      {"amovie='x'[out0]", {"x"}},
      {"movie='/v/open.mp4", {"/v/open.mp4"}},
      // Two distinct sources in order.
      {"movie='/v/b.mp4'[a];movie='/v/a.mp4'[b];[a][b]hstack[out0]", {"/v/b.mp4", "/v/a.mp4"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(extractInputPaths(c.text), c.paths) << c.text;
  }
}

TEST(ParseTimeValue, Table) {
  struct Case {
    std::string text;
    double seconds;
    std::string secondsText;
  };
  const std::vector<Case> cases = {
      {" 00:01:30 ", 90, "90"},
      {"00:01:30.250", 90.25, "90.250"},
      {"01:02:03.5", 3723.5, "3723.5"},
      {"00:00:01.05", 1.05, "1.05"},
      {"1:2", 0, ""},
      {"1:2.5", 0, ""},
      {"00:01:30.", 0, ""},
      {"7.5", 7.5, "7.5"},
      {"12.50", 12.5, "12.50"},
      {"abc", 0, "abc"},
      {"", 0, ""},
      {"\t\r\n", 0, ""},
      // Clock fields are bounded: a ten-digit field is no time.
      {"9999999999:00:00", 0, ""},
      {"00:00:99999999999999999999", 0, ""},
      {"999999999:59:59", 999999999.0 * 3600 + 59 * 60 + 59, "3599999999999"},
  };
  for (const Case& c : cases) {
    const TimeValue value = parseTimeValue(c.text);
    EXPECT_DOUBLE_EQ(value.seconds, c.seconds) << c.text;
    EXPECT_EQ(value.secondsText, c.secondsText) << c.text;
  }
}

TEST(HasOutLabels, Table) {
  struct Case {
    std::string graph;
    bool result;
    bool video;
    bool audio;
  };
  const std::vector<Case> cases = {
      {"movie='a.mp4'[out0];amovie='a.mp4'[out1]", true, true, true},
      {"amovie='a.mp3',volume=2[out0]", true, false, true},
      {"movie='a.mp4',scale=1:2[out0]", true, true, false},
      {"color=black:duration=5[out0]", false, false, false},
      {"movie='a.mp4',scale=1:2", false, false, false},
      {"color=black[c];[v0]null[out0]", true, true, false},
      {"movie='a.mp4'[x];[x]null[out0]", true, true, false},
      {"amovie='a.mp4'[x];[x]anull[out0]", true, false, true},
      {"[x]null[y];[a1]anull[out0]", true, false, true},
      {"movie='a.mp4'[x];color=red[c];[v1][c]overlay[out0]", true, true, false},
      {";[x]null[out0]", false, false, false},
  };
  for (const Case& c : cases) {
    bool video = true;
    bool audio = true;
    EXPECT_EQ(hasOutLabels(c.graph, video, audio), c.result) << c.graph;
    EXPECT_EQ(video, c.video) << c.graph;
    EXPECT_EQ(audio, c.audio) << c.graph;
  }
}

// The escaped path must reach ffmpeg intact: a one-frame run over a movie
// source succeeds, and the path read back from the graph is the original one.
TEST(EscapeFilterPath, RoundTripThroughRealFfmpeg) {
  test::TempDir dir;
  const std::string clip = dir.file("clip.mp4");
  test::ClipSpec clipSpec;
  clipSpec.audio = false;
  clipSpec.seconds = 0.4;
  test::makeClip(clip, clipSpec);
  const std::vector<std::string> names = {"it's.mp4",     "a:b.mp4",  "a=b.mp4",     "sp ace.mp4",
                                          "x,y[1];z.mp4", "b\\c.mp4", "q'':=\\.mp4", "trailing .mp4 "};
  for (const std::string& name : names) {
    const std::string path = dir.file(name);
    std::filesystem::copy_file(clip, path);
    const std::optional<std::string> escaped = escapeFilterPath(path);
    ASSERT_TRUE(escaped.has_value()) << path;
    const std::string graph = "movie='" + *escaped + "'";
    // Written as the engine writes a command text (the graph in double quotes)
    // and split back into arguments by the same process layer.
    std::vector<std::string> argv =
        splitCommandLine("-v error -filter_complex \"" + graph + "\" -frames:v 1 -f null -");
    ASSERT_EQ(argv.size(), 9u) << graph;
    EXPECT_EQ(argv[3], graph);
    argv.insert(argv.begin(), test::ffmpegPath());
    const CapturedRun run = runAndCapture(argv, true);
    ASSERT_TRUE(run.started) << run.error;
    EXPECT_EQ(run.exitCode, 0) << "graph: " << graph << "\n" << run.output;
    EXPECT_EQ(extractInputPaths(graph + "[out0]"), std::vector<std::string>{path}) << graph;
  }
}

}  // namespace
}  // namespace qel
