// The files behind a name as ffmpeg reads it: frame-number fields of image
// sequences, the members of "concat:", "concatf:" and ffconcat lists, and the
// protocol prefixes that lead to a file.
#include "commands/spelled_files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace qel {
namespace {

namespace fs = std::filesystem;

TEST(SpelledFiles, FramePatternsAreReadAsFFmpegReadsThem) {
  struct Case {
    const char* name;
    std::optional<FramePattern> pattern;
  };
  const Case cases[] = {
      {"p%d.png", FramePattern{"p", 0, ".png"}},
      {"/o/p%03d.png", FramePattern{"/o/p", 3, ".png"}},
      {"/o/50%%/p-%2d-x.png", FramePattern{"/o/50%/p-", 2, "-x.png"}},
      {"p.png", std::nullopt},
      {"100%%.png", std::nullopt},
      {"p%d-%d.png", std::nullopt},  // one field only
      {"p%s.png", std::nullopt},
      {"p%", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(framePattern(c.name), c.pattern) << c.name;
}

TEST(SpelledFiles, FrameFieldsAreCountedAsFFmpegsNameBuilderReadsThem) {
  struct Case {
    const char* name;
    int count;
    int widest;
    bool stopped;
    bool percent;
  };
  const Case cases[] = {
      {"p.png", 0, 0, false, false},       {"p%d.png", 1, 0, false, true},
      {"p%03d.png", 1, 3, false, true},    {"a%d%d.png", 2, 0, false, true},  // ffmpeg's writer fills both
      {"j%d_%02d.png", 2, 2, false, true}, {"w%30d.png", 1, 30, false, true},
      {"d%%e%d.png", 1, 0, false, true},                                     // "%%" is a '%'
      {"e%5%f%d.png", 1, 0, false, true},                                    // so is '%' digits '%'
      {"100%%.png", 0, 0, false, true},    {"g%x%d.png", 0, 0, true, true},  // the reading ends at "%x"
      {"n%d%x.png", 1, 0, true, true},     {"p%", 0, 0, true, true},
      {"p%12", 0, 0, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const FrameFields fields = frameFields(c.name);
    EXPECT_EQ(fields.count, c.count);
    EXPECT_EQ(fields.widest, c.widest);
    EXPECT_EQ(fields.stopped, c.stopped);
    EXPECT_EQ(fields.percent, c.percent);
  }
  EXPECT_GT(frameFields("w%99999999999999999999d.png").widest, kFFmpegFieldWidthLimit) << "a width past any int";
}

TEST(SpelledFiles, ANumberMatchesItsFieldAsFFmpegFormatsIt) {
  struct Case {
    const char* pattern;
    const char* name;
    bool matches;
  };
  const Case cases[] = {
      {"p%d.png", "p1.png", true},       {"p%d.png", "p0.png", true},
      {"p%d.png", "p10.png", true},      {"p%d.png", "p01.png", false},
      {"p%d.png", "p.png", false},       {"p%d.png", "px.png", false},
      {"p%d.png", "p1.jpg", false},      {"p%03d.png", "p001.png", true},
      {"p%03d.png", "p1000.png", true},  {"p%03d.png", "p01.png", false},
      {"p%03d.png", "p0100.png", false}, {"p%d1.png", "p121.png", true},  // the suffix begins with a digit
  };
  for (const Case& c : cases) {
    EXPECT_EQ(matchesFramePattern(*framePattern(c.pattern), c.name), c.matches) << c.pattern << " " << c.name;
  }
}

TEST(SpelledFiles, TheProtocolIsTheOneFFmpegsLookupFinds) {
  struct Case {
    const char* name;
    const char* protocol;
  };
  const Case cases[] = {
      {"/x/a.mp4", "file"},
      {"/x/a:b.mp4", "file"},
      {"file:/x/a.mp4", "file"},
      {"tee:/x/a.mkv|/x/b.mp4", "tee"},
      {"a:b.mp4", "a"},
      {"crypto+file:/x/a.mp4", "crypto+file"},
      {"-", "pipe"},
      {"subfile,,start,0,,:/x/a.mp4", "subfile"},
      {"subfile,no-colon", "file"},
      {":x", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(ffmpegProtocol(c.name), c.protocol) << c.name;
}

TEST(SpelledFiles, ListsTakeFFmpegsTokens) {
  EXPECT_EQ(concatfListNames("a.mp4\r\n  'b c.mp4'  \n\nd\\ e.mp4 \n"),
            (std::vector<std::string>{"a.mp4", "b c.mp4", "d e.mp4"}));
  EXPECT_EQ(ffconcatListFiles("ffconcat version 1.0\nfile 'a b.mp4'\n  file /abs/c.mp4\r\n# file x.mp4\n"
                              "duration 3\nfile file:/p/d.mp4\nfilex y.mp4\n",
                              "/l/list.txt"),
            (std::vector<std::string>{"/l/a b.mp4", "/abs/c.mp4", "file:/p/d.mp4"}));
}

TEST(SpelledFiles, ReadingANameReadsTheFilesBehindIt) {
  test::TempDir dir;
  const std::string d = dir.path() + "/";
  for (const char* name : {"p1.png", "p2.png", "p10.png", "p01.png", "q1.png"}) test::writeFile(d + name, "x");
  test::writeFile(d + "list.txt", d + "a.mp4\n'" + d + "b c.mp4'\n");

  struct Case {
    std::string spelled;
    std::vector<std::string> reads;
  };
  const std::vector<Case> cases = {
      {d + "a.mp4", {d + "a.mp4"}},
      {"file:" + d + "a.mp4", {d + "a.mp4"}},
      {"concat:" + d + "a.mp4|file:" + d + "b.mp4||subfile,,start,0,end,9,,:" + d + "c.mp4",
       {d + "a.mp4", d + "b.mp4", d + "c.mp4"}},
      {"concatf:" + d + "list.txt", {d + "list.txt", d + "a.mp4", d + "b c.mp4"}},
      {"concatf:" + d + "missing.txt", {d + "missing.txt"}},
      {d + "p%d.png", {d + "p%d.png", d + "p1.png", d + "p2.png", d + "p10.png"}},
      {"file:" + d + "p%02d.png", {d + "p%02d.png", d + "p01.png", d + "p10.png"}},
      // ffmpeg takes any character after "subfile," as the separator.
      {"subfile,:start:0:end:0:::" + d + "a.mp4", {d + "a.mp4"}},
      {"async:cache:crypto+file:" + d + "a.mp4", {d + "a.mp4"}},
      // The file protocol drops one "file:"; the second is part of the path.
      {"file:file:" + d + "a.mp4", {"file:" + d + "a.mp4"}},
      // Other protocols read no file of ours.
      {"tee:" + d + "a.mp4", {}},
      {"http://127.0.0.1/a.mp4", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(filesReadThrough(c.spelled), c.reads) << c.spelled;

  // A sequence's files keep the name's spelling, in number order.
  EXPECT_EQ(existingSequenceFiles("file:" + d + "p%d.png"),
            (std::vector<std::string>{"file:" + d + "p1.png", "file:" + d + "p2.png", "file:" + d + "p10.png"}));
  fs::create_directories(d + "s1");
  EXPECT_TRUE(existingSequenceFiles(d + "s%d/p.png").empty()) << "a field in a folder part is not listed";
}

}  // namespace
}  // namespace qel
