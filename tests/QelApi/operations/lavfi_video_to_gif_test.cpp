// The "videoToGif" operation: the trim range, the graphs for files and earlier
// graphs (canned probes), the failure lines, and a real GIF from a trimmed clip.
#include "operations/lavfi_video_to_gif.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "qelapi.h"

#include "QelApi/operations/real_engine_helpers.h"
#include "support/operation_test_helpers.h"
#include "support/task_events.h"
#include "support/test_support.h"

namespace qel {
namespace {

using test::LogCapture;

using LavfiVideoToGifTest = test::OperationTest<LavfiVideoToGif>;

const char* const kGifChain = "trim=2:5.5,setpts=PTS-STARTPTS,fps=10,scale=320:-1";

TEST_F(LavfiVideoToGifTest, NameIsVideoToGif) { EXPECT_STREQ(operation.name(), "videoToGif"); }

TEST_F(LavfiVideoToGifTest, TrimLength) {
  struct Case {
    std::string transform;
    double length;
  };
  const Case cases[] = {
      {"trim=2:5.5,setpts=PTS-STARTPTS", 3.5},
      {"fps=10,trim=1:3,atrim=0:9", 9.0},  // the last range counts, atrim too
      {"trim=0:9,trim=1:3", 2.0},
      {"trim=1.5|7:4,fps=5", 2.5},  // a '|' ends the number
      {"trim=5:2", -3.0},
      {"fps=10", 0.0},
      {"trim=:3", 0.0},
      {"trim=1:", 0.0},
      {"trim=start=1:end=3", 0.0},
      {"trim=1:3,fps=10\n", 0.0},  // '.' takes no line break
      {"trim=.5:2", 1.5},
      {"trim=1:3,trim=x:4", 2.0},  // a later unfitting trim= is passed over
  };
  for (const Case& c : cases) {
    EXPECT_DOUBLE_EQ(LavfiVideoToGif::trimLength(c.transform), c.length) << c.transform;
  }
  // A long client text is scanned, not backtracked through.
  const std::string longText = std::string(200000, 'x') + "trim=1:4" + std::string(200000, ',');
  EXPECT_DOUBLE_EQ(LavfiVideoToGif::trimLength(longText), 3.0);
}

TEST_F(LavfiVideoToGifTest, FileBecomesABareMovieSource) {
  test::serveProbe(
      parser, test::fakeProbeJson({{"video", "h264", "10"}, {"audio", "aac", "10"}, {"subtitle", "mov_text", "10"}}));
  const LavfiResult result = run({{1, "C:\\v\\clip.mp4", "", 10}}, kGifChain);
  EXPECT_EQ(result.graph, std::string("movie='C\\:/v/clip.mp4',") + kGifChain + "[out0]");
  EXPECT_TRUE(result.cmd.empty());
  EXPECT_EQ(result.inputFiles, std::vector<std::string>{"C:\\v\\clip.mp4"});
  EXPECT_EQ(parser.durationOf(result.graph), 3.5);
  EXPECT_EQ(parser.labelCounter, 0u);
  EXPECT_EQ(log.lines().size(), 0u) << log.joined();
}

TEST_F(LavfiVideoToGifTest, WithoutTrimTheInputDurationIsStored) {
  test::serveProbe(parser, test::fakeMedia(10, 0));
  for (const std::string transform : {"fps=10", "trim=5:2,fps=10", "trim=1:1.0005"}) {
    LogCapture caseLog;
    const LavfiResult result = run({{1, "a.mp4", "", 10}}, transform);
    EXPECT_EQ(result.graph, "movie='a.mp4'," + transform + "[out0]");
    EXPECT_EQ(parser.durationOf(result.graph), 10.0) << transform;
    EXPECT_TRUE(caseLog.has("[process,159]:VideoToGif: Don't find trim param")) << caseLog.joined();
  }
}

TEST_F(LavfiVideoToGifTest, EarlierGraphsAreRelabelled) {
  struct Case {
    std::string graph;
    std::string expected;  // with the counter at 7
  };
  const Case cases[] = {
      {"movie='x',hflip[out0];amovie='x',volume=2[out1]", "movie='x',hflip[outv7];[outv7]T[out0]"},
      {"movie='x'[out0];amovie='x'[out1];", "movie='x'[outv7];[outv7]T[out0]"},
      // An anullsrc chain between two others goes with its ";".
      {"movie='x'[v1];anullsrc=r=44100[a9];[v1]hflip[out0];[a9]anull[out1]",
       "movie='x'[v1];[v1]hflip[outv7];[outv7]T[out0]"},
      // A video-only earlier graph keeps everything.
      {"movie='x',scale=2:2[out0]", "movie='x',scale=2:2[outv7];[outv7]T[out0]"},
      // A video output made before the last chain keeps feeding the transform.
      {"movie='x',hflip[out0];movie='y'[w]", "movie='x',hflip[outv7];movie='y'[w];[outv7]T[out0]"},
  };
  for (const Case& c : cases) {
    parser.labelCounter = 7;
    const LavfiResult result = run({{2, c.graph, "", 6}}, "T");
    EXPECT_EQ(result.graph, c.expected) << c.graph;
    EXPECT_EQ(parser.labelCounter, 8u);
    EXPECT_EQ(parser.durationOf(result.graph), 6.0);
  }
  // Two relabellings in one engine use successive numbers.
  const LavfiResult first = run({{2, "movie='x'[out0]", "", 1}}, "trim=0:1");
  const LavfiResult second = run({{2, first.graph, "", 1}}, "trim=0:0.5");
  EXPECT_EQ(second.graph, "movie='x'[outv8];[outv8]trim=0:1[outv9];[outv9]trim=0:0.5[out0]");
  EXPECT_EQ(parser.durationOf(first.graph), 1.0);
  EXPECT_EQ(parser.durationOf(second.graph), 0.5);
}

TEST_F(LavfiVideoToGifTest, RemoveAudioChains) {
  struct Case {
    std::string graph;
    std::string expected;
  };
  const Case cases[] = {
      {"movie='x'[out0];amovie='x',volume=2[out1]", "movie='x'[out0]"},
      {"amovie='x'[a0];movie='x'[out0]", "movie='x'[out0]"},
      {"movie='x'[out0];anullsrc=d=1[a1];[a0][a1]acrossfade[out1];;", "movie='x'[out0]"},
      {"movie='x'[out0]", "movie='x'[out0]"},
      {"", ""},
  };
  for (const Case& c : cases) {
    std::string graph = c.graph;
    LavfiVideoToGif::removeAudioChains(graph);
    EXPECT_EQ(graph, c.expected) << c.graph;
  }
  // A long client graph with many audio chains is handled in one pass per rule.
  std::string many = "movie='x'[out0]";
  for (int i = 0; i < 100000; ++i) many += ";[a1]anull[a2];amovie='y'";
  LavfiVideoToGif::removeAudioChains(many);
  EXPECT_EQ(many, "movie='x'[out0]");
}

TEST_F(LavfiVideoToGifTest, Failures) {
  struct Case {
    std::string probe;
    std::vector<LavfiInputItem> inputs;
    std::string transform;
    std::string line;
    bool filesKept;
  };
  const Case cases[] = {
      {"", {{1, "a.mp4", "", 1}}, "", "[process,24]:processtransform is empety", false},
      {"",
       {{2, "amovie='/m/x.mp4'[out0]", "", 1}},
       "fps=10",
       "[process,109]:do not find video stream:amovie='/m/x.mp4'[out0]",
       true},
      {"",
       {{2, "movie='/m/x.mp4'[v5];[a0]amix[out0];amovie='/m/y.mp4'[out1]", "", 1}},
       "fps=10",
       "[process,104]:donot find [out0]:movie='/m/x.mp4'[v5];[a0]amix[out0];amovie='/m/y.mp4'[out1]",
       true},
  };
  for (const Case& c : cases) {
    LogCapture caseLog;
    parser.labelCounter = 3;
    test::serveProbe(parser, c.probe);
    const LavfiResult result = run(c.inputs, c.transform);
    EXPECT_TRUE(result.graph.empty()) << c.line;
    EXPECT_TRUE(caseLog.has(c.line)) << caseLog.joined();
    EXPECT_EQ(result.inputFiles.empty(), !c.filesKept) << c.line;
    EXPECT_EQ(parser.labelCounter, 3u);
    EXPECT_TRUE(parser.durations.empty()) << c.line;
  }
}

// The transform lands in the graph, which the command holds in double quotes.
TEST_F(LavfiVideoToGifTest, DoubleQuotesAreRefused) {
  test::serveProbe(parser, test::fakeMedia(10, 0));
  const std::vector<std::pair<std::string, std::string>> requests = {
      {"a.mp4", "trim=0:1,drawtext=text=\"x\""},
  };
  for (const auto& [path, transform] : requests) {
    LogCapture caseLog;
    const LavfiResult result = run({{1, path, "", 1}}, transform);
    EXPECT_TRUE(result.graph.empty()) << path << transform;
    EXPECT_FALSE(caseLog.lines().empty());
  }
  EXPECT_TRUE(parser.durations.empty());
}

// End to end: a GIF of a trimmed range of a clip, with the palette chain in
// the transform; the GIF lasts as long as the stored duration says.
TEST(LavfiVideoToGifRun, GifFromATrimmedClip) {
  test::TempDir dir;
  const std::string clip = dir.file("clip.mp4");
  test::ClipSpec recipe;
  recipe.seconds = 2.0;
  test::makeClip(clip, recipe);

  test::RealEngine engine(dir.path());
  const std::string transform =
      "trim=0.5:1.5,setpts=PTS-STARTPTS,fps=10,scale=80:-1,split[s0][s1];[s0]palettegen[p];[s1][p]paletteuse";
  const test::ProcessOutcome outcome = engine.process("videoToGif", {{1, clip, "", 2}}, transform);
  ASSERT_EQ(outcome.errorCode, 0) << outcome.reply;
  EXPECT_EQ(outcome.graph, "movie='" + clip + "'," + transform + "[out0]");
  EXPECT_EQ(engine.durationOf(outcome.graph), 1.0);

  const std::string out = dir.file("out.gif");
  const CapturedRun run = test::runGraph(outcome.graph, {"[out0]"}, out);
  ASSERT_EQ(run.exitCode, 0) << run.output;
  const test::ProbeInfo info = test::probe(out);
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_EQ(info.codecNames, std::vector<std::string>{"gif"});
  EXPECT_EQ(info.width, 80);
  EXPECT_EQ(info.height, 60);
  EXPECT_NEAR(info.duration, 1.0, 0.15);
}

// ---- One task through the exports: trackSelection, waterMark, videoToGif -----

// The graph of a "process" reply, "" when the request failed.
std::string processGraph(void* handle, const std::string& description, const std::vector<LavfiInputItem>& inputs,
                         const std::string& transform) {
  return test::processReplyGraph(handle, test::processRequestJson(description, inputs, transform));
}

TEST(LavfiVideoToGifRun, TaskChainsTrackSelectionWaterMarkAndGif) {
  test::TempDir dir;
  const std::string clip = dir.file("clip.mp4");
  test::ClipSpec recipe;
  recipe.seconds = 2.0;
  test::makeClip(clip, recipe);
  const std::string logo = dir.file("logo.png");
  test::ClipSpec logoSpec;
  logoSpec.width = 32;
  logoSpec.height = 24;
  logoSpec.audio = false;
  logoSpec.extraArgs = {"-frames:v", "1"};
  test::makeClip(logo, logoSpec);

  void* handle = qelapi_init(test::engineInitJson(dir.path(), "ops").c_str());
  ASSERT_NE(handle, nullptr);
  test::taskEvents().attach(handle);

  const std::string selected = processGraph(handle, "trackSelection", {{1, clip, "", 2}}, "-map 0:v -map 0:a");
  ASSERT_FALSE(selected.empty());
  const std::string marked = processGraph(handle, "waterMark",
                                          {{2, selected, "", 2},
                                           {2, "movie='" + logo + "'[v1];[v0][v1]overlay=x=4:y=4", "", 0},
                                           {2, "drawtext=text='Qel':fontsize=14:fontcolor=white:x=4:y=H-th-4", "", 0}},
                                          "");
  ASSERT_FALSE(marked.empty());
  const std::string gif = processGraph(
      handle, "videoToGif", {{2, marked, "", 2}},
      "trim=0.5:1.5,setpts=PTS-STARTPTS,fps=10,scale=80:-1,split[s0][s1];[s0]palettegen[p];[s1][p]paletteuse");
  ASSERT_FALSE(gif.empty());
  EXPECT_EQ(gif.find("amovie="), std::string::npos) << gif;
  EXPECT_NE(gif.find("overlay=x=4:y=4,drawtext=text='Qel'"), std::string::npos) << gif;

  const std::string out = dir.file("out.gif");
  ASSERT_EQ(test::submitTask(handle, 41, test::oneGraphTask(gif, out)), 0);
  ASSERT_TRUE(test::taskEvents().waitForCompletion(41));
  qelapi_un_init(handle);

  const std::vector<test::StateReport> reports = test::taskEvents().reports(41);
  const std::string report = reports.empty() ? "" : reports.back().text;
  const test::ProbeInfo info = test::probe(out);
  ASSERT_TRUE(info.ok) << info.error << "\n" << report;
  EXPECT_EQ(info.codecNames, std::vector<std::string>{"gif"});
  EXPECT_EQ(info.width, 80);
  EXPECT_EQ(info.height, 60);
  EXPECT_NEAR(info.duration, 1.0, 0.15);
}

}  // namespace
}  // namespace qel
