// The "seekPosition" operation: the seek text, file graphs opened at the
// position and trimmed there, the stages behind an earlier graph's labels, the
// stored duration and input files, its refusals, and real ffmpeg runs.
#include "operations/lavfi_seek.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/subprocess.h"
#include "support/operation_test_helpers.h"
#include "support/test_support.h"
#include "operations/operation_registry.h"

namespace qel {
namespace {

using test::LogCapture;

LavfiInputItem file(const std::string& path, double duration = 20) { return {1, path, "", duration}; }
LavfiInputItem graphInput(const std::string& graph, double duration = 0) { return {2, graph, "", duration}; }

class SeekTest : public test::OperationTest<LavfiSeek> {
 protected:
  LavfiSeek& seek = operation;
};

TEST_F(SeekTest, NameIsSeekPosition) { EXPECT_STREQ(seek.name(), "seekPosition"); }

TEST_F(SeekTest, SeekTextFollowsBlankTrim) {
  const std::pair<std::string, std::string> cases[] = {
      {"-vf trim=5", "5"}, {"trim=5", ""}, {" trim=12.5 -an", "12.5"}, {" trim=\"5\"", ""}, {" trim=7\"x", "7"},
      {"-an", ""},         {" trim=", ""}, {"x trim=1 trim=2", "1"},
  };
  for (const auto& [transform, text] : cases) EXPECT_EQ(LavfiSeek::seekText(transform), text) << transform;
}

TEST_F(SeekTest, FileGraphs) {
  struct Case {
    const char* name;
    std::string path;
    std::string probe;
    std::string transform;
    std::string graph;
    double stored;
  };
  const std::string e = "C\\:/v/a.mp4";
  const std::string subtitles = test::fakeProbeJson(
      {{"video", "h264", "20"}, {"audio", "aac", "20"}, {"subtitle", "ass", "20"}, {"subtitle", "mov_text", "20"}});
  const Case cases[] = {
      {"video and audio", "C:\\v\\a.mp4", test::fakeMedia(20, 20), " trim=5",
       "movie='" + e + "':seek_point=5,trim=5,setpts=PTS-STARTPTS[out0];amovie='" + e +
           "':seek_point=5,atrim=5,asetpts=PTS-STARTPTS[out1]",
       15},
      {"audio only gets a trimmed black picture", "C:\\v\\a.mp4", test::fakeMedia(0, 30), " trim=5",
       "color=black:duration=30,trim=5,setpts=PTS-STARTPTS[out0];amovie='" + e + "',atrim=5,asetpts=PTS-STARTPTS[out1]",
       15},
      {"video only", "C:\\v\\a.mp4", test::fakeMedia(20, 0), " trim=5",
       "movie='" + e + "':seek_point=5,trim=5,setpts=PTS-STARTPTS[out0]", 15},
      // The black picture's length is written in the shortest form (the
      // stream form would round it to 12.3457).
      {"shortest form of the filler", "C:\\v\\a.mp4", test::fakeMedia(0, 12.3456789), " trim=5",
       "color=black:duration=12.3456789,trim=5,setpts=PTS-STARTPTS[out0];amovie='" + e +
           "',atrim=5,asetpts=PTS-STARTPTS[out1]",
       15},
      {"no position", "C:\\v\\a.mp4", test::fakeMedia(20, 20), "trim=5",
       "movie='" + e + "'[out0];amovie='" + e + "'[out1]", 20},
      {"no position, audio only", "C:\\v\\a.mp4", test::fakeMedia(0, 12.5), "",
       "color=black:duration=12.5[out0];amovie='" + e + "'[out1]", 20},
      {"fraction and further options", "/m/a.mp4", test::fakeMedia(20, 20), " trim=12.5 -an",
       "movie='/m/a.mp4':seek_point=12.5,trim=12.5,setpts=PTS-STARTPTS[out0];"
       "amovie='/m/a.mp4':seek_point=12.5,atrim=12.5,asetpts=PTS-STARTPTS[out1]",
       7.5},
      {"subtitles render before the trim", "/m/s.mp4", subtitles, " trim=2",
       "movie='/m/s.mp4':seek_point=2,subtitles='/m/s.mp4':si=1,trim=2,setpts=PTS-STARTPTS[out0];"
       "amovie='/m/s.mp4':seek_point=2,atrim=2,asetpts=PTS-STARTPTS[out1]",
       18},
      {"clock text is written as seconds", "/m/a.mp4", test::fakeMedia(20, 20), " trim=00:00:02.5",
       "movie='/m/a.mp4':seek_point=2.5,trim=2.5,setpts=PTS-STARTPTS[out0];"
       "amovie='/m/a.mp4':seek_point=2.5,atrim=2.5,asetpts=PTS-STARTPTS[out1]",
       17.5},
      {"seek past the end stores 0", "/m/a.mp4", test::fakeMedia(20, 20), " trim=25",
       "movie='/m/a.mp4':seek_point=25,trim=25,setpts=PTS-STARTPTS[out0];"
       "amovie='/m/a.mp4':seek_point=25,atrim=25,asetpts=PTS-STARTPTS[out1]",
       0},
  };
  for (const Case& c : cases) {
    test::serveProbe(parser, c.probe);
    const LavfiResult result = run({file(c.path)}, c.transform);
    EXPECT_EQ(result.graph, c.graph) << c.name;
    EXPECT_EQ(parser.durationOf(result.graph), c.stored) << c.name;
    EXPECT_EQ(result.inputFiles, std::vector<std::string>{c.path}) << c.name;
    EXPECT_TRUE(result.cmd.empty());
  }
}

TEST_F(SeekTest, UnknownRequestDurationFallsBackToTheProbe) {
  test::serveProbe(parser, test::fakeMedia(20, 18));
  const LavfiResult result = run({file("/m/a.mp4", 0)}, " trim=5");
  EXPECT_EQ(parser.durationOf(result.graph), 15.0);
}

TEST_F(SeekTest, EarlierGraphs) {
  struct Case {
    const char* name;
    std::string graph;
    std::string transform;
    std::string result;
  };
  const std::string palette =
      "movie='a.gif',fps=10,split[s0][s1];[s0]palettegen=max_colors=64[p];[s1][p]paletteuse[out0]";
  const Case cases[] = {
      {"video and audio", "movie='x'[out0];amovie='x'[out1]", " trim=5",
       "movie='x'[outv];[outv]trim=5,setpts=PTS-STARTPTS[out0];amovie='x'[outa];[outa]atrim=5,asetpts=PTS-STARTPTS["
       "out1]"},
      {"palette chain trimmed before its split", palette, " trim=5",
       "movie='a.gif',fps=10,trim=5,setpts=PTS-STARTPTS,split[s0][s1];[s0]palettegen=max_colors=64[p];"
       "[s1][p]paletteuse[out0]"},
      {"two palettegen take the ordinary route",
       "movie='a.gif',split[v0][v1];[v0]palettegen[p];[v1][p]paletteuse,split[v2][v3];[v2]palettegen[q];[v3][q]"
       "paletteuse[out0]",
       " trim=5",
       "movie='a.gif',split[v0][v1];[v0]palettegen[p];[v1][p]paletteuse,split[v2][v3];[v2]palettegen[q];[v3][q]"
       "paletteuse"
       "[outv];[outv]trim=5,setpts=PTS-STARTPTS[out0]"},
      {"pictures-to-gif graph without palettegen", "movie='p.png',split[v0][v1];[v0][v1]paletteuse[out0]", " trim=1",
       "movie='p.png',split[v0][v1];[v0][v1]paletteuse[outv];[outv]trim=1,setpts=PTS-STARTPTS[out0]"},
      {"no position", "movie='x'[out0]", "trim=5", "movie='x'[outv];[outv]trim=,setpts=PTS-STARTPTS[out0]"},
  };
  for (const Case& c : cases) {
    const LavfiResult result = run({graphInput(c.graph, 20)}, c.transform);
    EXPECT_EQ(result.graph, c.result) << c.name;
  }
  EXPECT_EQ(log.joined(), "");
}

TEST_F(SeekTest, AudioOnlyEarlierGraphGetsABlackPictureOfItsHeldLength) {
  parser.setDuration("amovie='y',volume=2[out0]", 12.5);
  const LavfiResult result = run({graphInput("amovie='y',volume=2[out0]")}, " trim=5");
  EXPECT_EQ(result.graph,
            "color=black:duration=12.5,trim=5,setpts=PTS-STARTPTS[out0];"
            "amovie='y',volume=2[outa];[outa]atrim=5,asetpts=PTS-STARTPTS[out1]");
  EXPECT_EQ(parser.durationOf(result.graph), 7.5);
  EXPECT_EQ(result.inputFiles, std::vector<std::string>{"y"});
}

TEST_F(SeekTest, SeekOfASeekAddsASecondStage) {
  parser.setDuration("movie='x'[out0];amovie='x'[out1]", 20);
  const LavfiResult first = run({graphInput("movie='x'[out0];amovie='x'[out1]")}, " trim=5");
  EXPECT_EQ(parser.durationOf(first.graph), 15.0);
  const LavfiResult second = run({graphInput(first.graph)}, " trim=2");
  EXPECT_EQ(second.graph,
            "movie='x'[outv];[outv]trim=5,setpts=PTS-STARTPTS[outv];[outv]trim=2,setpts=PTS-STARTPTS[out0];"
            "amovie='x'[outa];[outa]atrim=5,asetpts=PTS-STARTPTS[outa];[outa]atrim=2,asetpts=PTS-STARTPTS[out1]");
  EXPECT_EQ(parser.durationOf(second.graph), 13.0);
}

TEST_F(SeekTest, FilesAreCountedByTheParser) {
  test::serveProbe(parser, test::fakeMedia(20, 20));
  LavfiOperationDesc request{" trim=5", "", "SEEKPOSITION", {file("/m/a.mp4")}};
  LavfiParseResult reply;
  parser.doParse(reply, request);
  EXPECT_FALSE(reply.graph.empty());
  EXPECT_EQ(reply.fileNums, 1);
}

TEST_F(SeekTest, Refusals) {
  struct Case {
    const char* name;
    std::vector<LavfiInputItem> inputs;
    std::string probe;
    std::string transform;
    std::string line;
  };
  const Case cases[] = {
      {"graph syntax in the position",
       {file("/m/a.mp4")},
       test::fakeMedia(20, 20),
       " trim=5[x];movie=y",
       "[process,20]:invalid seek position:  trim=5[x];movie=y"},
      {"unreadable clock text",
       {file("/m/a.mp4")},
       test::fakeMedia(20, 20),
       " trim=1:2",
       "[process,20]:invalid seek position:  trim=1:2"},
      {"negative position",
       {file("/m/a.mp4")},
       test::fakeMedia(20, 20),
       " trim=-5",
       "[process,20]:invalid seek position:  trim=-5"},
  };
  for (const Case& c : cases) {
    test::serveProbe(parser, c.probe);
    const std::size_t before = parser.durations.size();
    const LavfiResult result = run(c.inputs, c.transform);
    EXPECT_EQ(result.graph, "") << c.name;
    EXPECT_EQ(parser.durations.size(), before) << c.name;
    EXPECT_TRUE(log.has(c.line)) << c.name << "\n" << log.joined();
  }
}

class SeekRun : public ::testing::Test {
 protected:
  void SetUp() override { test::probeWithFfprobe(parser); }

  void makeClip(bool video) {
    test::ClipSpec recipe = test::smallClip(20, 5);
    recipe.video = video;
    test::makeClip(clip, recipe);
  }

  test::ProbeInfo seekAndRender(const LavfiInputItem& input, const std::string& transform) {
    LavfiOperationDesc request{transform, "", "seekPosition", {input}};
    const LavfiResult result = LavfiSeek().process(parser, request);
    EXPECT_FALSE(result.graph.empty());
    const std::string out = dir.file("out.mp4");
    const CapturedRun run = test::runGraph(result.graph, {"[out0]", "[out1]"}, out);
    EXPECT_EQ(run.exitCode, 0) << result.graph << "\n" << run.output;
    return test::probe(out);
  }

  test::TempDir dir;
  std::string clip;
  LavfiParser parser{makeOperationRegistry()};
};

TEST_F(SeekRun, SeekToFiveOfTwentySecondsGivesFifteen) {
  clip = dir.file("clip.mp4");
  makeClip(true);
  const test::ProbeInfo info = seekAndRender(file(clip, 20), " trim=5");
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_EQ(info.count("video"), 1);
  EXPECT_EQ(info.count("audio"), 1);
  EXPECT_NEAR(info.duration, 15.0, 0.1);
}

TEST_F(SeekRun, AudioOnlyFileGetsFifteenSecondsOfBlack) {
  clip = dir.file("clip.m4a");
  makeClip(false);
  const test::ProbeInfo info = seekAndRender(file(clip, 20), " trim=5");
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_EQ(info.count("video"), 1);
  EXPECT_EQ(info.count("audio"), 1);
  EXPECT_NEAR(info.duration, 15.0, 0.1);
}

}  // namespace
}  // namespace qel
