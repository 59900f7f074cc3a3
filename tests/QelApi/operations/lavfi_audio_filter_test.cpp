// The "audioFilter" operation: file graphs, filters placed into and merged
// with earlier audio chains, refusals, and a real loudness normalisation.
#include "operations/lavfi_audio_filter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/subprocess.h"
#include "support/operation_test_helpers.h"
#include "support/test_support.h"
#include "operations/operation_registry.h"

namespace qel {
namespace {

using test::file;
using test::graphInput;
using test::LogCapture;

class LavfiAudioFilterTest : public test::OperationTest<LavfiAudioFilter> {
 protected:
  LavfiAudioFilter& filter = operation;
};

TEST_F(LavfiAudioFilterTest, FilterTextLosesDashAfAndQuotesOnlyWithDashAf) {
  EXPECT_EQ(LavfiAudioFilter::filterText("-af \"volume=3dB\""), "volume=3dB");
  EXPECT_EQ(LavfiAudioFilter::filterText("volume=3dB"), "volume=3dB");
  EXPECT_EQ(LavfiAudioFilter::filterText(" volume=3dB "), " volume=3dB ");
}

TEST_F(LavfiAudioFilterTest, FileGraphs) {
  struct Case {
    std::string path;
    double video;
    double audio;
    std::string expected;
  };
  const Case cases[] = {
      {"/m/clip.mp4", 10, 10,
       "movie='/m/clip.mp4',trim=0:10,setpts=PTS-STARTPTS[out0];"
       "amovie='/m/clip.mp4',atrim=0:10,asetpts=PTS-STARTPTS,volume=3dB[out1]"},
      // An audio file's cover picture is no video: no trim, audio at "[out0]".
      {"/m/song.MP3", 10, 10, "amovie='/m/song.MP3',volume=3dB[out0]"},
      {"/m/song.mp3", 0, 10, "amovie='/m/song.mp3',volume=3dB[out0]"},
      // Without audio the filter has nothing to work on.
      {"/m/clip.mp4", 10, 0, "movie='/m/clip.mp4'[out0]"},
  };
  for (const Case& c : cases) {
    test::serveProbe(parser, test::fakeMedia(c.video, c.audio));
    for (const std::string transform : {"-af \"volume=3dB\"", "volume=3dB"}) {
      const LavfiResult result = run({file(c.path)}, transform);
      EXPECT_EQ(result.graph, c.expected) << c.path << " " << transform;
      EXPECT_TRUE(result.cmd.empty());
      EXPECT_EQ(result.inputFiles, std::vector<std::string>{c.path});
      EXPECT_EQ(parser.durationOf(result.graph), 10.0);
    }
  }
}

TEST_F(LavfiAudioFilterTest, EarlierGraphs) {
  struct Case {
    std::string graph;
    std::string transform;
    std::string expected;
  };
  const std::string video = "movie='x'[out0];";
  const Case cases[] = {
      // Gains in dB add up; nothing is appended.
      {video + "amovie='x',volume=3dB[out1]", "volume=2dB", video + "amovie='x',volume=5dB[out1]"},
      {video + "amovie='x',volume=-3dB[out1]", "-af \"volume=1dB\"", video + "amovie='x',volume=-2dB[out1]"},
      // The later loudness target replaces the earlier one; other options stay.
      {video + "amovie='x',loudnorm=i=-23:tp=-2[out1]", "loudnorm=i=-16",
       video + "amovie='x',loudnorm=i=-16:tp=-2[out1]"},
      // A gain with a fraction does not merge: it follows in the same chain.
      {video + "amovie='x',volume=3dB[out1]", "volume=1.5dB", video + "amovie='x',volume=3dB,volume=1.5dB[out1]"},
      // Without volume or loudnorm the filter is inserted, even after an echo.
      {video + "amovie='x',aecho=0.8:0.9:1000:0.3[out1]", "volume=2dB",
       video + "amovie='x',aecho=0.8:0.9:1000:0.3,volume=2dB[out1]"},
      // An audio-only graph carries its audio at "[out0]".
      {"amovie='x'[out0]", "volume=2dB", "amovie='x',volume=2dB[out0]"},
      {"amovie='x',volume=1dB[out0]", "volume=2dB", "amovie='x',volume=3dB[out0]"},
      // A video-only graph and an empty filter leave the graph unchanged.
      {"movie='x',scale=2:2[out0]", "volume=2dB", "movie='x',scale=2:2[out0]"},
      {video + "amovie='x'[out1]", "", video + "amovie='x'[out1]"},
  };
  for (const Case& c : cases) {
    const LavfiResult result = run({graphInput(c.graph, 6)}, c.transform);
    EXPECT_EQ(result.graph, c.expected) << c.graph << " + " << c.transform;
    EXPECT_EQ(parser.durationOf(result.graph), 6.0);
  }
}

TEST_F(LavfiAudioFilterTest, FilterAfterAnEchoGetsAChainOfItsOwn) {
  parser.labelCounter = 4;
  const LavfiResult result = run({graphInput("movie='x'[out0];amovie='x',volume=3dB,aecho=0.8:0.9:1000:0.3[out1]")},
                                 "chorus=0.5:0.9:50:0.4:0.25:2");
  EXPECT_EQ(result.graph,
            "movie='x'[out0];amovie='x',volume=3dB,aecho=0.8:0.9:1000:0.3[a4];[a4]chorus=0.5:0.9:50:0.4:0.25:2[out1]");
  EXPECT_EQ(parser.labelCounter, 5u);
}

TEST_F(LavfiAudioFilterTest, GainsBeyondRangeAreNotMerged) {
  const std::string graph = "movie='x'[out0];amovie='x',volume=9223372036854775807dB[out1]";
  const LavfiResult result = run({graphInput(graph)}, "volume=1dB");
  EXPECT_EQ(result.graph, graph);
  EXPECT_TRUE(log.has("[process,55]:Failed to merge: " + graph + " and volume=1dB")) << log.joined();
}

TEST(LavfiAudioFilterRun, LoudnessNormalisationRunsInFfmpeg) {
  test::TempDir dir;
  const std::string clip = dir.file("clip.mp4");
  test::makeClip(clip);
  LavfiParser parser{makeOperationRegistry()};
  test::probeWithFfprobe(parser);
  LavfiAudioFilter filter;
  LavfiOperationDesc first{"-af \"loudnorm=i=-23:tp=-2\"", "", "audioFilter", {file(clip, 1)}};
  const LavfiResult earlier = filter.process(parser, first);
  LavfiOperationDesc second{"loudnorm=i=-16", "", "audioFilter", {graphInput(earlier.graph, 1)}};
  const LavfiResult result = filter.process(parser, second);
  ASSERT_NE(result.graph.find(",loudnorm=i=-16:tp=-2[out1]"), std::string::npos) << result.graph;

  // ffmpeg 5.1 hands aac frames of any length from loudnorm and acrossfade,
  // which its aac encoder refuses; PCM in Matroska takes them as they come.
  const std::string out = dir.file("out.mkv");
  const CapturedRun run = test::runGraph(result.graph, {"[out0]", "[out1]"}, out, {"-c:a", "pcm_s16le"});
  ASSERT_EQ(run.exitCode, 0) << run.output;
  const test::ProbeInfo info = test::probe(out);
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_EQ(info.count("video"), 1);
  EXPECT_EQ(info.count("audio"), 1);
  EXPECT_NEAR(info.duration, 1.0, 0.2);
}

}  // namespace
}  // namespace qel
