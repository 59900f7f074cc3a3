// The "videoFilling" operation: the filling chain on file graphs (with the
// black picture for a file without video) and on earlier graphs, and real
// ffmpeg runs. Its first input's refusals are in first_input_opening_test.cpp.
#include "operations/lavfi_video_filling.h"

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

LavfiInputItem file(const std::string& path, double duration = 12.5) { return {1, path, "", duration}; }
LavfiInputItem graphInput(const std::string& graph, double duration = 12.5) { return {2, graph, "", duration}; }

const std::string kPad = "pad=400:300:(ow-iw)/2:(oh-ih)/2:black";

class VideoFillingTest : public test::OperationTest<LavfiVideoFilling> {
 protected:
  LavfiVideoFilling& filling = operation;
};

TEST_F(VideoFillingTest, NameIsVideoFilling) { EXPECT_STREQ(filling.name(), "videoFilling"); }

TEST_F(VideoFillingTest, FileGraphs) {
  struct Case {
    const char* name;
    std::string probe;
    std::string transform;
    double duration;
    std::string graph;
  };
  const std::string p = "C\\:/v/a.mp4";
  const std::string thirdSubtitle = test::fakeProbeJson({{"video", "h264", "12.5"},
                                                         {"audio", "aac", "12.5"},
                                                         {"subtitle", "ass", "12.5"},
                                                         {"subtitle", "subrip", "12.5"},
                                                         {"subtitle", "mov_text", "12.5"}});
  const Case cases[] = {
      {"video and audio", test::fakeMedia(12.5, 12.5), kPad, 12.5,
       "movie='" + p + "',trim=0:12.5,setpts=PTS-STARTPTS," + kPad + "[out0];amovie='" + p +
           "',atrim=0:12.5,asetpts=PTS-STARTPTS[out1]"},
      {"blanks round the transform", test::fakeMedia(12.5, 12.5), "  " + kPad + " ", 12.5,
       "movie='" + p + "',trim=0:12.5,setpts=PTS-STARTPTS," + kPad + "[out0];amovie='" + p +
           "',atrim=0:12.5,asetpts=PTS-STARTPTS[out1]"},
      {"empty transform", test::fakeMedia(12.5, 12.5), "   ", 12.5,
       "movie='" + p + "',trim=0:12.5,setpts=PTS-STARTPTS[out0];amovie='" + p +
           "',atrim=0:12.5,asetpts=PTS-STARTPTS[out1]"},
      {"video only: no trims", test::fakeMedia(12.5, 0), kPad, 12.5, "movie='" + p + "'," + kPad + "[out0]"},
      {"audio only: black picture", test::fakeMedia(0, 12.5), kPad, 12.5,
       "color=black:duration=12.5[out0];amovie='" + p + "',atrim=0:12.5,asetpts=PTS-STARTPTS[out1]"},
      {"third subtitle stream", thirdSubtitle, kPad, 12.5,
       "movie='" + p + "',subtitles='" + p + "':si=2,trim=0:12.5,setpts=PTS-STARTPTS," + kPad + "[out0];amovie='" + p +
           "',atrim=0:12.5,asetpts=PTS-STARTPTS[out1]"},
      {"stream form of D", test::fakeMedia(5000000, 5000000), "", 1234567,
       "movie='" + p + "',trim=0:1.23457e+06,setpts=PTS-STARTPTS[out0];amovie='" + p +
           "',atrim=0:1.23457e+06,asetpts=PTS-STARTPTS[out1]"},
      // A duration that reads as 0 must not give a 0-second output.
      {"unknown duration: untrimmed", test::fakeMedia(12.5, 12.5), kPad, 0,
       "movie='" + p + "'," + kPad + "[out0];amovie='" + p + "'[out1]"},
      {"unknown duration: black as long as the audio", test::fakeMedia(0, 9.5), kPad, 0,
       "color=black:duration=9.5[out0];amovie='" + p + "'[out1]"},
  };
  for (const Case& c : cases) {
    test::serveProbe(parser, c.probe);
    const LavfiResult result = run({file("C:\\v\\a.mp4", c.duration), file("C:\\v\\b.mp4")}, c.transform);
    EXPECT_EQ(result.graph, c.graph) << c.name;
    EXPECT_EQ(parser.durationOf(result.graph), c.duration) << c.name;
    EXPECT_EQ(result.inputFiles, std::vector<std::string>{"C:\\v\\a.mp4"}) << c.name;
    EXPECT_TRUE(result.cmd.empty());
  }
}

TEST_F(VideoFillingTest, EarlierGraphs) {
  struct Case {
    const char* name;
    std::string graph;
    std::string transform;
    std::string result;
  };
  const Case cases[] = {
      {"before the first [out0] only", "movie='x'[out0];movie='y'[out0];amovie='x'[out1]", " pad=400:300 ",
       "movie='x',pad=400:300[out0];movie='y'[out0];amovie='x'[out1]"},
      {"no merging with an earlier pad", "movie='x',pad=200:100[out0]", "pad=400:300",
       "movie='x',pad=200:100,pad=400:300[out0]"},
      {"audio only passes", "amovie='y',volume=2[out0]", "pad=400:300", "amovie='y',volume=2[out0]"},
      {"audio chain after a chain", "color=red[c];[a0]volume=2[out0]", "pad=400:300",
       "color=red[c];[a0]volume=2[out0]"},
      {"empty transform", "movie='x'[out0]", "  ", "movie='x'[out0]"},
  };
  for (const Case& c : cases) {
    const LavfiResult result = run({graphInput(c.graph, 3)}, c.transform);
    EXPECT_EQ(result.graph, c.result) << c.name;
    EXPECT_EQ(parser.durationOf(result.graph), 3.0) << c.name;
  }
}

class VideoFillingRun : public ::testing::Test {
 protected:
  void SetUp() override { test::probeWithFfprobe(parser); }

  test::ProbeInfo fillAndRender(const std::string& clip, double duration, const std::string& transform) {
    LavfiOperationDesc request{transform, "", "videoFilling", {file(clip, duration)}};
    const LavfiResult result = LavfiVideoFilling().process(parser, request);
    EXPECT_FALSE(result.graph.empty());
    const std::string out = dir.file("filled.mp4");
    const CapturedRun run = test::runGraph(result.graph, {"[out0]", "[out1]"}, out);
    EXPECT_EQ(run.exitCode, 0) << result.graph << "\n" << run.output;
    return test::probe(out);
  }

  static test::ClipSpec tinyClip(bool video) {
    test::ClipSpec recipe = test::smallClip(2, 5);
    recipe.video = video;
    return recipe;
  }

  test::TempDir dir;
  LavfiParser parser{makeOperationRegistry()};
};

TEST_F(VideoFillingRun, PadGivesTheFilledSize) {
  const std::string clip = dir.file("clip.mp4");
  test::makeClip(clip, tinyClip(true));
  const test::ProbeInfo info = fillAndRender(clip, 2, "pad=400:300");
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_EQ(info.width, 400);
  EXPECT_EQ(info.height, 300);
  EXPECT_EQ(info.count("audio"), 1);
  EXPECT_NEAR(info.duration, 2.0, 0.1);
}

TEST_F(VideoFillingRun, AudioOnlyInputGetsABlackPicture) {
  const std::string clip = dir.file("clip.m4a");
  test::makeClip(clip, tinyClip(false));
  for (double duration : {2.0, 0.0}) {  // 0: the request gave no usable duration
    const test::ProbeInfo info = fillAndRender(clip, duration, "pad=400:300");
    ASSERT_TRUE(info.ok) << info.error;
    EXPECT_EQ(info.count("video"), 1) << duration;
    EXPECT_EQ(info.count("audio"), 1) << duration;
    EXPECT_NEAR(info.duration, 2.0, 0.1) << duration;
  }
}

}  // namespace
}  // namespace qel
