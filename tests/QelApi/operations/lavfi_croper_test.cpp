// The "crop" operation: file graphs, crops placed into and merged with earlier
// graphs, refusals, and real ffmpeg runs of its graphs.
#include "operations/lavfi_croper.h"

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

class LavfiCroperTest : public test::OperationTest<LavfiCroper> {
 protected:
  LavfiCroper& croper = operation;
};

const char* const kClip = "C:\\v\\a.mp4";

TEST_F(LavfiCroperTest, FileWithVideoAndAudio) {
  test::serveProbe(parser, test::fakeMedia(10, 10));
  for (const std::string transform : {"crop=640:360:0:0", "-vf \"crop=640:360:0:0\"", " \"-vf crop=640:360:0:0\" "}) {
    const LavfiResult result = run({file(kClip)}, transform);
    EXPECT_EQ(result.graph,
              "movie='C\\:/v/a.mp4',trim=0:10,setpts=PTS-STARTPTS,crop=640:360:0:0[out0];"
              "amovie='C\\:/v/a.mp4',atrim=0:10,asetpts=PTS-STARTPTS[out1]")
        << transform;
    EXPECT_TRUE(result.cmd.empty());
    EXPECT_EQ(result.inputFiles, std::vector<std::string>{kClip});
    EXPECT_EQ(parser.durationOf(result.graph), 10.0);
  }
}

TEST_F(LavfiCroperTest, FileWithoutAudioHasOnlyTheVideoChain) {
  test::serveProbe(parser, test::fakeMedia(10, 0));
  EXPECT_EQ(run({file(kClip)}, "crop=640:360:0:0").graph, "movie='C\\:/v/a.mp4',crop=640:360:0:0[out0]");
}

TEST_F(LavfiCroperTest, SubtitleStreamIsBurnedIn) {
  // The second subtitle stream is the first mov_text one with a duration.
  test::serveProbe(parser, test::fakeProbeJson({{"video", "h264", "10"},
                                                {"audio", "aac", "10"},
                                                {"subtitle", "subrip", "10"},
                                                {"subtitle", "mov_text", "10"}}));
  EXPECT_EQ(run({file(kClip)}, "crop=64:36:0:0").graph,
            "movie='C\\:/v/a.mp4',subtitles='C\\:/v/a.mp4':si=1,trim=0:10,setpts=PTS-STARTPTS,crop=64:36:0:0[out0];"
            "amovie='C\\:/v/a.mp4',atrim=0:10,asetpts=PTS-STARTPTS[out1]");
}

TEST_F(LavfiCroperTest, EmptyTransformGivesTheInputAsFragment) {
  for (const std::string transform : {"", " \"\" ", "-vf \"\""}) {
    const LavfiResult result = run({file(kClip)}, transform);
    EXPECT_TRUE(result.graph.empty()) << transform;
    EXPECT_EQ(result.cmd, kClip);
    EXPECT_EQ(result.inputFiles, std::vector<std::string>{kClip});
  }
}

TEST_F(LavfiCroperTest, EarlierGraphs) {
  struct Case {
    std::string graph;
    std::string transform;
    std::string expected;
  };
  const std::string head = "movie='x',scale=1280:720";
  const Case cases[] = {
      {"movie='x'[s0];[s0]scale=1280:720[out0];amovie='x'[out1]", "crop=100:100:10:10",
       "movie='x'[s0];[s0]scale=1280:720,crop=100:100:10:10[out0];amovie='x'[out1]"},
      // The later crop's size at the sum of both offsets.
      {head + ",crop=640:360:100:50[out0];amovie='x'[out1]", "crop=320:180:10:20",
       head + ",crop=320:180:110:70[out0];amovie='x'[out1]"},
      {head + ",crop=640:360:0:0,rotate=0.5*PI[out0]", "crop=320:180:0:0",
       head + ",crop=320:180:0:0,rotate=0.5*PI[out0]"},
      {head + ",crop=640:360:0:0,rotate=0.5*PI[out0]", "crop=320:180:0:0,rotate=0.5*PI",
       head + ",crop=320:180:0:0,rotate=1*PI[out0]"},
      // 1.5 + 0.5 turns of PI is a full turn: no rotation left.
      {head + ",crop=640:360:0:0,rotate=1.5*PI[out0]", "crop=320:180:0:0,rotate=0.5*PI",
       head + ",crop=320:180:0:0[out0]"},
      {head + ",crop=640:360:0:0[out0]", "crop=320:180:5:5,rotate=-0.25*PI",
       head + ",crop=320:180:5:5,rotate=-0.25*PI[out0]"},
      // The crop that was read is the one replaced, not an earlier text that
      // begins alike.
      {"movie='x',crop=640:360:10:200,crop=640:360:10:20[out0]", "crop=320:180:1:1",
       "movie='x',crop=640:360:10:200,crop=320:180:11:21[out0]"},
      // An audio-only earlier graph passes through unchanged.
      {"amovie='x',volume=2dB[out0]", "crop=320:180:0:0", "amovie='x',volume=2dB[out0]"},
  };
  for (const Case& c : cases) {
    const LavfiResult result = run({graphInput(c.graph, 7)}, c.transform);
    EXPECT_EQ(result.graph, c.expected) << c.graph << " + " << c.transform;
    EXPECT_EQ(parser.durationOf(result.graph), 7.0);
  }
}

TEST_F(LavfiCroperTest, UnmergeableCropsPassThroughWithALogLine) {
  struct Case {
    std::string graph;
    std::string transform;
  };
  const Case cases[] = {
      {"movie='x',crop=iw/2:ih/2:0:0[out0]", "crop=320:180:0:0"},
      // Numbers beyond an int must not be read (atoi would be undefined).
      {"movie='x',crop=99999999999:360:0:0[out0]", "crop=320:180:0:0"},
      {"movie='x',crop=640:360:0:0[out0]", "crop=320:180:0:4294967296"},
      // A later crop without a numeric size would become crop=0:0.
      {"movie='x',crop=640:360:0:0[out0]", "crop=iw/2:ih/2:0:0"},
  };
  for (const Case& c : cases) {
    LogCapture caseLog;
    const LavfiResult result = run({graphInput(c.graph)}, c.transform);
    EXPECT_EQ(result.graph, c.graph);
    EXPECT_TRUE(caseLog.has("[process,55]:Failed to merge: " + c.graph + " and " + c.transform)) << caseLog.joined();
  }
}

TEST_F(LavfiCroperTest, MergeCropReadsLongChainsWithoutRecursion) {
  // A chain of some hundred kilobytes: a recursive matcher would exhaust the stack.
  std::string graph = "movie='x'" + std::string(200000, ' ') + ",crop=640:360:1:2[out0]";
  ASSERT_TRUE(LavfiCroper::mergeCrop(graph, "crop=10:10:1:1"));
  EXPECT_TRUE(graph.ends_with(",crop=10:10:2:3[out0]"));
}

TEST_F(LavfiCroperTest, DescriptionInCapitalsDispatchesToCrop) {
  test::serveProbe(parser, test::fakeMedia(10, 0));
  const LavfiParseResult result =
      parser.parse(R"({"operation":{"input":[{"type":1,"value":"/m/a.mp4","duration":10}],"transform":"crop=2:2:0:0",)"
                   R"("description":"CROP"}})");
  EXPECT_EQ(result.graph, "movie='/m/a.mp4',crop=2:2:0:0[out0]");
  EXPECT_EQ(result.fileNums, 1);
}

// Runs a graph with the real ffmpeg and returns ffprobe's view of the output.
test::ProbeInfo runGraph(const std::string& graph, const std::string& out, bool withAudio) {
  const std::vector<std::string> labels =
      withAudio ? std::vector<std::string>{"[out0]", "[out1]"} : std::vector<std::string>{"[out0]"};
  const CapturedRun run = test::runGraph(graph, labels, out);
  EXPECT_EQ(run.exitCode, 0) << run.output;
  return test::probe(out);
}

class LavfiCroperRun : public ::testing::Test {
 protected:
  void SetUp() override {
    test::makeClip(clip);
    test::probeWithFfprobe(parser);
  }
  test::TempDir dir;
  std::string clip = dir.file("clip.mp4");
  LavfiParser parser{makeOperationRegistry()};
  LavfiCroper croper;
};

TEST_F(LavfiCroperRun, CropRunsInFfmpeg) {
  LavfiOperationDesc desc{"-vf \"crop=80:60:10:10\"", "", "crop", {file(clip, 1)}};
  const LavfiResult result = croper.process(parser, desc);
  ASSERT_FALSE(result.graph.empty());
  const test::ProbeInfo info = runGraph(result.graph, dir.file("out.mp4"), true);
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_EQ(info.width, 80);
  EXPECT_EQ(info.height, 60);
  EXPECT_EQ(info.count("audio"), 1);
  EXPECT_NEAR(info.duration, 1.0, 0.2);
}

TEST_F(LavfiCroperRun, CropThenRotationMergedRunsInFfmpeg) {
  LavfiOperationDesc first{"crop=120:100:0:0", "", "crop", {file(clip, 1)}};
  const LavfiResult cropped = croper.process(parser, first);
  ASSERT_FALSE(cropped.graph.empty());
  LavfiOperationDesc second{"crop=80:60:10:20,rotate=1*PI", "", "crop", {graphInput(cropped.graph, 1)}};
  const LavfiResult merged = croper.process(parser, second);
  EXPECT_NE(merged.graph.find(",crop=80:60:10:20,rotate=1*PI[out0]"), std::string::npos) << merged.graph;
  EXPECT_EQ(merged.graph.find("crop=120:100"), std::string::npos) << merged.graph;
  const test::ProbeInfo info = runGraph(merged.graph, dir.file("out.mp4"), true);
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_EQ(info.width, 80);
  EXPECT_EQ(info.height, 60);
  EXPECT_NEAR(info.duration, 1.0, 0.2);
}

}  // namespace
}  // namespace qel
