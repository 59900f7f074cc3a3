// The "waterMark" operation: the main graph, the relabelled picture
// watermarks and the text watermarks (canned probes), and a real run of two
// picture overlays and a text on a clip.
#include "operations/lavfi_water_mark.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/operation_test_helpers.h"
#include "QelApi/operations/real_engine_helpers.h"
#include "support/test_support.h"

namespace qel {
namespace {

using test::LogCapture;

LavfiInputItem file(const std::string& path, double duration = 8) { return {1, path, "", duration}; }
LavfiInputItem mark(const std::string& value) { return {2, value, "", 0}; }

const std::string kOverlay = "movie='logo.png'[v1];[v0][v1]overlay=10:10";

class LavfiWaterMarkTest : public test::OperationTest<LavfiWaterMark> {
 protected:
  // The transform plays no part in a watermark.
  LavfiResult run(std::vector<LavfiInputItem> inputs) { return OperationTest::run(std::move(inputs), "ignored"); }
};

TEST_F(LavfiWaterMarkTest, NameIsWaterMark) { EXPECT_STREQ(operation.name(), "waterMark"); }

TEST_F(LavfiWaterMarkTest, OverlayAndTextOnAFile) {
  test::serveProbe(parser, test::fakeMedia(8, 8));
  parser.labelCounter = 4;
  const LavfiResult result =
      run({file("C:\\v\\a.mp4"), mark(kOverlay + "[out0]"), mark("drawtext=text='Hi':x=5:y=5[out0]")});
  EXPECT_EQ(result.graph,
            "movie='C\\:/v/a.mp4'[v4];amovie='C\\:/v/a.mp4'[out1];"
            "movie='logo.png'[v5];[v4][v5]overlay=10:10,drawtext=text='Hi':x=5:y=5[out0]");
  EXPECT_EQ(parser.labelCounter, 6u);
  EXPECT_TRUE(result.cmd.empty());
  EXPECT_EQ(result.inputFiles, std::vector<std::string>{"C:\\v\\a.mp4"});  // not the watermark files
  EXPECT_EQ(parser.durationOf(result.graph), 8.0);
}

TEST_F(LavfiWaterMarkTest, ThreeOverlaysReadEachOthersOutput) {
  test::serveProbe(parser, test::fakeMedia(8, 0));
  parser.labelCounter = 10;
  const LavfiResult result = run({file("a.mp4"), mark(kOverlay), mark(kOverlay + "[out0]"), mark(kOverlay)});
  EXPECT_EQ(result.graph,
            "movie='a.mp4'[v10];"
            "movie='logo.png'[v11];[v10][v11]overlay=10:10[v12];"
            "movie='logo.png'[v13];[v12][v13]overlay=10:10[v14];"
            "movie='logo.png'[v15];[v14][v15]overlay=10:10[out0]");
  EXPECT_EQ(parser.labelCounter, 16u);
}

TEST_F(LavfiWaterMarkTest, MainGraphs) {
  struct Case {
    std::string name;
    std::string probe;
    LavfiInputItem first;
    std::string graph;
  };
  const Case cases[] = {
      {"video and audio", test::fakeMedia(8, 8), file("a.mp4"), "movie='a.mp4'[out0];amovie='a.mp4'[out1]"},
      {"video only", test::fakeMedia(8, 0), file("a.mp4"), "movie='a.mp4'[out0]"},
      // An audio-only file keeps its audio in "[out1]", the one output.
      {"audio only", test::fakeMedia(0, 8), file("a.mp3"), "amovie='a.mp3'[out1]"},
      {"short video still counts", test::fakeMedia(0.0005, 8), file("a.mp4"),
       "movie='a.mp4'[out0];amovie='a.mp4'[out1]"},
      {"first subtitle stream", test::fakeProbeJson({{"video", "h264", "8"}, {"subtitle", "mov_text", "8"}}),
       file("a.mp4"), "movie='a.mp4',subtitles='a.mp4'[out0]"},
      {"second subtitle stream",
       test::fakeProbeJson({{"video", "h264", "8"}, {"subtitle", "mov_text", ""}, {"subtitle", "mov_text", "8"}}),
       file("a.mp4"), "movie='a.mp4',subtitles='a.mp4':si=1[out0]"},
      {"subtitle without duration", test::fakeProbeJson({{"video", "h264", "8"}, {"subtitle", "mov_text", "0"}}),
       file("a.mp4"), "movie='a.mp4'[out0]"},
      {"earlier graph, unchecked", "", {2, "no labels", "", 8}, "no labels"},
  };
  for (const Case& c : cases) {
    parser.labelCounter = 3;
    test::serveProbe(parser, c.probe);
    const LavfiResult result = run({c.first});
    EXPECT_EQ(result.graph, c.graph) << c.name;
    EXPECT_EQ(parser.labelCounter, 3u) << c.name;
    EXPECT_EQ(parser.durationOf(result.graph), 8.0) << c.name;
  }
}

TEST_F(LavfiWaterMarkTest, FurtherItems) {
  struct Case {
    std::string name;
    std::vector<LavfiInputItem> marks;
    std::string graph;
    unsigned counter;  // from 0
  };
  const std::string main = "movie='x'[out0];amovie='x'[out1]";
  const Case cases[] = {
      {"nothing recognised", {file("logo.png"), mark("amovie='y'[out0]"), mark("scale=2:2")}, main, 1},
      {"texts only, in order",
       {mark("drawtext=text='a'"), mark("drawtext=text='b'[out0];x")},
       "movie='x',drawtext=text='a',drawtext=text='b'[out0];amovie='x'[out1]",
       1},
      {"only [v0] and [v1] are relabelled",
       {mark("movie='l.png'[v1];[v10][v1]overlay,[v0]null[out0]")},
       "movie='x'[v0];amovie='x'[out1];movie='l.png'[v1];[v10][v1]overlay,[v0]null[out0]",
       2},
      {"texts run after the overlays",
       {mark("drawtext=text='t'"), mark(kOverlay)},
       "movie='x'[v0];amovie='x'[out1];movie='logo.png'[v1];[v0][v1]overlay=10:10,drawtext=text='t'[out0]",
       2},
  };
  for (const Case& c : cases) {
    parser.labelCounter = 0;
    std::vector<LavfiInputItem> inputs{{2, main, "", 8}};
    inputs.insert(inputs.end(), c.marks.begin(), c.marks.end());
    const LavfiResult result = run(inputs);
    EXPECT_EQ(result.graph, c.graph) << c.name;
    EXPECT_EQ(parser.labelCounter, c.counter) << c.name;
  }
}

// Watermarks and paths land in the graph, which the command holds in double
// quotes: such a request is refused before any label is taken.
TEST_F(LavfiWaterMarkTest, DoubleQuotesAreRefused) {
  test::serveProbe(parser, test::fakeMedia(8, 8));
  const std::vector<std::vector<LavfiInputItem>> requests = {
      {file("a.mp4"), mark("drawtext=text=\"x\"")},
      {file("a.mp4"), mark("movie='l\".png'[v1];[v0][v1]overlay")},
  };
  for (const auto& inputs : requests) {
    LogCapture caseLog;
    const LavfiResult result = run(inputs);
    EXPECT_TRUE(result.graph.empty()) << inputs.back().value;
    EXPECT_FALSE(caseLog.lines().empty());
  }
  EXPECT_EQ(parser.labelCounter, 0u);
  EXPECT_TRUE(parser.durations.empty());
}

// End to end: two picture overlays and a text on a clip, with its audio.
TEST(LavfiWaterMarkRun, TwoPicturesAndATextOnAClip) {
  test::TempDir dir;
  const std::string clip = dir.file("clip.mp4");
  test::makeClip(clip);
  std::vector<LavfiInputItem> inputs{{1, clip, "", 1}};
  for (const char* name : {"logo1.png", "logo2.png"}) {
    const std::string logo = dir.file(name);
    test::ClipSpec recipe;
    recipe.width = 32;
    recipe.height = 24;
    recipe.audio = false;
    recipe.extraArgs = {"-frames:v", "1"};
    test::makeClip(logo, recipe);
    inputs.push_back({2, "movie='" + logo + "'[v1];[v0][v1]overlay=x=W-w-4:y=4", "", 0});
  }
  inputs.push_back({2, "drawtext=text='Qel':fontsize=16:fontcolor=yellow:x=4:y=H-th-4[out0]", "", 0});

  test::RealEngine engine(dir.path());
  const test::ProcessOutcome outcome = engine.process("watermark", inputs, "");
  ASSERT_EQ(outcome.errorCode, 0) << outcome.reply;
  EXPECT_EQ(outcome.fileNums, 1);
  EXPECT_EQ(engine.durationOf(outcome.graph), 1.0);

  const std::string out = dir.file("out.mp4");
  const CapturedRun run = test::runGraph(outcome.graph, {"[out0]", "[out1]"}, out);
  ASSERT_EQ(run.exitCode, 0) << outcome.graph << "\n" << run.output;
  const test::ProbeInfo info = test::probe(out);
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_EQ(info.width, 160);
  EXPECT_EQ(info.height, 120);
  EXPECT_EQ(info.count("audio"), 1);
  EXPECT_NEAR(info.duration, 1.0, 0.2);
}

}  // namespace
}  // namespace qel
