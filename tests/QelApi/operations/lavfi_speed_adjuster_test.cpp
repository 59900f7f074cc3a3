// The "speedAdjuster" operation: reading its filters and tempo factor, atempo
// chains within ffmpeg's range, graphs for files and earlier graphs (with and
// without "-an"), the stored duration and a real ffmpeg run. Its first
// input's refusals are in first_input_opening_test.cpp.
#include "operations/lavfi_speed_adjuster.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
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

const std::string kDouble = "-filter_complex \"setpts=0.5*PTS;atempo=2\"";

class SpeedTest : public test::OperationTest<LavfiSpeedAdjuster> {
 protected:
  LavfiSpeedAdjuster& speed = operation;
};

TEST_F(SpeedTest, NameIsSpeedAdjuster) { EXPECT_STREQ(speed.name(), "speedAdjuster"); }

TEST_F(SpeedTest, ReadsFiltersFromFilterComplexWords) {
  struct Case {
    std::string transform;
    std::string video;
    std::string audio;
  };
  const Case cases[] = {
      {kDouble, "setpts=0.5*PTS", "atempo=2"},
      {"-filter_complex setpts=PTS/2", "setpts=PTS/2", ""},
      {"-filter_complex \"ATEMPO=2;SetPts=2*PTS\"", "SetPts=2*PTS", "ATEMPO=2"},
      {"-filter_complex \"setpts=0.5*PTS;volume=2;atempo=2\" -filter_complex atempo=1.5", "setpts=0.5*PTS",
       "atempo=1.5"},
      {"-filter_complex -filter_complex atempo=3", "", "atempo=3"},
      {"-r 30 -filter_complex", "", ""},
      {"-vf setpts=0.5*PTS", "", ""},
      {"", "", ""},
  };
  for (const Case& c : cases) {
    std::string video = "x";
    std::string audio = "y";
    LavfiSpeedAdjuster::readFilters(c.transform, video, audio);
    EXPECT_EQ(video, c.video) << c.transform;
    EXPECT_EQ(audio, c.audio) << c.transform;
  }
}

TEST_F(SpeedTest, TempoFactor) {
  EXPECT_EQ(LavfiSpeedAdjuster::tempoFactor(""), 1.0);
  EXPECT_EQ(LavfiSpeedAdjuster::tempoFactor("ATEMPO=2"), 1.0);  // the search is case-sensitive
  EXPECT_EQ(LavfiSpeedAdjuster::tempoFactor("atempo=2"), 2.0);
  EXPECT_EQ(LavfiSpeedAdjuster::tempoFactor("atempo= 0.4"), 0.4);
  EXPECT_EQ(LavfiSpeedAdjuster::tempoFactor("atempo=1e1"), 10.0);
  EXPECT_EQ(LavfiSpeedAdjuster::tempoFactor("atempo=-2"), -2.0);
  EXPECT_EQ(LavfiSpeedAdjuster::tempoFactor("atempo=fast"), 0.0);
}

TEST_F(SpeedTest, TempoChainsStayWithinOneStagesRange) {
  const std::pair<double, std::string> cases[] = {
      {0.3, "atempo=0.5,atempo=0.6"},  {0.4, "atempo=0.5,atempo=0.8"}, {0.2, "atempo=0.5,atempo=0.5,atempo=0.8"},
      {0.25, "atempo=0.5,atempo=0.5"}, {250, "atempo=100,atempo=2.5"}, {2, "atempo=2"},
  };
  for (const auto& [factor, chain] : cases) EXPECT_EQ(LavfiSpeedAdjuster::tempoChain(factor), chain) << factor;
  for (double bad : {0.0, -1.0, std::nan(""), std::numeric_limits<double>::infinity(), 1e-300, 1e300}) {
    EXPECT_FALSE(LavfiSpeedAdjuster::tempoChain(bad).has_value()) << bad;
  }
}

TEST_F(SpeedTest, FileGraphWithBothFilters) {
  test::serveProbe(parser, test::fakeMedia(10, 10));
  const LavfiResult result = run({file("C:\\v\\a.mp4")}, kDouble);
  EXPECT_EQ(result.graph,
            "movie='C\\:/v/a.mp4',trim=0:10,setpts=PTS-STARTPTS,setpts=0.5*PTS[out0];"
            "amovie='C\\:/v/a.mp4',atrim=0:10,asetpts=PTS-STARTPTS,atempo=2[out1]");
  EXPECT_EQ(parser.durationOf(result.graph), 5.0);
  EXPECT_EQ(result.inputFiles, std::vector<std::string>{"C:\\v\\a.mp4"});
  EXPECT_TRUE(result.cmd.empty());
}

TEST_F(SpeedTest, FileGraphCases) {
  struct Case {
    const char* name;
    std::string probe;
    std::string transform;
    std::string outputConfig;
    std::string graph;
    double stored;
  };
  const std::string p = "/m/a.mp4";
  const Case cases[] = {
      {"no filter_complex", test::fakeMedia(10, 10), "-r 30", "",
       "movie='" + p + "',trim=0:10,setpts=PTS-STARTPTS[out0];amovie='" + p + "',atrim=0:10,asetpts=PTS-STARTPTS[out1]",
       10},
      {"slow tempo becomes two stages", test::fakeMedia(10, 10), "-filter_complex \"setpts=2.5*PTS;atempo=0.4\"", "",
       "movie='" + p + "',trim=0:10,setpts=PTS-STARTPTS,setpts=2.5*PTS[out0];amovie='" + p +
           "',atrim=0:10,asetpts=PTS-STARTPTS,atempo=0.5,atempo=0.8[out1]",
       25},
      {"video filter alone keeps the duration", test::fakeMedia(10, 10), "-filter_complex setpts=0.5*PTS", "",
       "movie='" + p + "',trim=0:10,setpts=PTS-STARTPTS,setpts=0.5*PTS[out0];amovie='" + p +
           "',atrim=0:10,asetpts=PTS-STARTPTS[out1]",
       10},
      {"upper-case tempo kept, factor 1", test::fakeMedia(10, 10), "-filter_complex ATEMPO=2", "",
       "movie='" + p + "',trim=0:10,setpts=PTS-STARTPTS[out0];amovie='" + p +
           "',atrim=0:10,asetpts=PTS-STARTPTS,ATEMPO=2[out1]",
       10},
      {"-an drops audio and trims", test::fakeMedia(10, 10), kDouble, "-c:v libx264 -an",
       "movie='" + p + "',setpts=0.5*PTS[out0]", 5},
      {"-an on audio only is empty", test::fakeMedia(0, 10), kDouble, "-an", "", 0},
      {"audio only", test::fakeMedia(0, 10), kDouble, "", "amovie='" + p + "',atempo=2[out0]", 5},
  };
  for (const Case& c : cases) {
    test::serveProbe(parser, c.probe);
    const LavfiResult result = run({file(p)}, c.transform, c.outputConfig);
    EXPECT_EQ(result.graph, c.graph) << c.name;
    if (!c.graph.empty()) {
      EXPECT_EQ(parser.durationOf(result.graph), c.stored) << c.name;
    }
  }
}

TEST_F(SpeedTest, VerySlowTempoIsLoggedAndWrittenAsValidStages) {
  test::serveProbe(parser, test::fakeMedia(10, 10));
  const std::string transform = "-filter_complex \"setpts=5*PTS;atempo=0.2\"";
  const LavfiResult result = run({file("/m/a.mp4")}, transform);
  EXPECT_TRUE(log.has("[process,51]:SpeedRegulation, min value is 0.25: " + transform)) << log.joined();
  EXPECT_EQ(result.graph,
            "movie='/m/a.mp4',trim=0:10,setpts=PTS-STARTPTS,setpts=5*PTS[out0];"
            "amovie='/m/a.mp4',atrim=0:10,asetpts=PTS-STARTPTS,atempo=0.5,atempo=0.5,atempo=0.8[out1]");
  EXPECT_EQ(parser.durationOf(result.graph), 50.0);
}

TEST_F(SpeedTest, FactorWithoutATempoRefusesTheRequest) {
  test::serveProbe(parser, test::fakeMedia(10, 10));
  for (const std::string tempo : {"atempo=0", "atempo=-2", "atempo=x", "atempo=nan", "atempo=inf", "atempo=1e-300"}) {
    const std::string transform = "-filter_complex " + tempo;
    const std::size_t before = parser.durations.size();
    const LavfiResult result = run({file("/m/a.mp4")}, transform);
    EXPECT_EQ(result.graph, "") << tempo;
    EXPECT_EQ(parser.durations.size(), before) << tempo;
    EXPECT_EQ(result.inputFiles, std::vector<std::string>{"/m/a.mp4"});
    EXPECT_TRUE(log.has("[process,52]:SpeedRegulation, invalid value: " + transform)) << log.joined();
  }
}

TEST_F(SpeedTest, EarlierGraphCases) {
  struct Case {
    const char* name;
    std::string graph;
    std::string outputConfig;
    std::string result;
  };
  const Case cases[] = {
      {"both streams", "movie='x'[out0];amovie='x'[out1]", "",
       "movie='x',setpts=0.5*PTS[out0];amovie='x',atempo=2[out1]"},
      {"audio only", "amovie='y',volume=2[out0]", "", "amovie='y',volume=2,atempo=2[out0]"},
      {"-an keeps the video chains",
       "movie='x',hflip[v0];[v0]vflip[out0];amovie='x'[a0];[a0]volume=2[out1];color=red[c]", "-an",
       "movie='x',hflip[v0];[v0]vflip,setpts=0.5*PTS[out0];color=red[c]"},
      {"-an on audio only empties the graph", "amovie='y',volume=2[out0]", "-an", ""},
  };
  for (const Case& c : cases) {
    const LavfiResult result = run({graphInput(c.graph)}, kDouble, c.outputConfig);
    EXPECT_EQ(result.graph, c.result) << c.name;
    if (!c.result.empty()) {
      EXPECT_EQ(parser.durationOf(result.graph), 5.0) << c.name;
    }
  }
}

TEST_F(SpeedTest, NoFilterLeavesTheEarlierGraph) {
  const LavfiResult result = run({graphInput("movie='x'[out0];amovie='x'[out1]", 8)}, "-r 30");
  EXPECT_EQ(result.graph, "movie='x'[out0];amovie='x'[out1]");
  EXPECT_EQ(parser.durationOf(result.graph), 8.0);
}

TEST_F(SpeedTest, SecondInputIsIgnored) {
  test::serveProbe(parser, test::fakeMedia(10, 10));
  const LavfiResult result = run({file("/m/a.mp4"), file("/m/b.mp4")}, kDouble);
  EXPECT_EQ(result.inputFiles, std::vector<std::string>{"/m/a.mp4"});
  EXPECT_EQ(result.graph.find("b.mp4"), std::string::npos);
}

// Real run: the chain written for a very slow tempo is one ffmpeg accepts and
// its length is the one stored.
TEST(SpeedRun, QuarterSpeedChainRunsInFfmpeg) {
  test::TempDir dir;
  const std::string clip = dir.file("clip.mp4");
  test::ClipSpec recipe = test::smallClip(2, 25);
  test::makeClip(clip, recipe);
  LavfiParser parser{makeOperationRegistry()};
  test::probeWithFfprobe(parser);
  LavfiOperationDesc request{"-filter_complex \"setpts=5*PTS;atempo=0.2\"", "", "speedAdjuster", {file(clip, 2)}};
  const LavfiResult result = LavfiSpeedAdjuster().process(parser, request);
  ASSERT_FALSE(result.graph.empty());
  EXPECT_EQ(parser.durationOf(result.graph), 10.0);
  // ffmpeg 5.1 hands a fixed-frame encoder (aac) oversized atempo frames when
  // the slowed video holds the encoders back; PCM takes any frame size.
  const std::string out = dir.file("slow.mkv");
  const CapturedRun run = test::runGraph(result.graph, {"[out0]", "[out1]"}, out, {"-c:a", "pcm_s16le"});
  ASSERT_EQ(run.exitCode, 0) << result.graph << "\n" << run.output;
  const test::ProbeInfo info = test::probe(out);
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_NEAR(info.duration, 10.0, 0.25);
}

}  // namespace
}  // namespace qel
