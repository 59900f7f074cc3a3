// The "addVideoToFile" operation: graph and fragment texts (label numbers
// included), the pairing of trims and overlays, refusals, and a real ffmpeg
// run of both forms overlaying a trimmed clip.
#include "operations/lavfi_add_video_to_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "QelApi/operations/added_input_run.h"
#include "support/operation_test_helpers.h"
#include "support/test_support.h"
#include "operations/operation_registry.h"

namespace qel {
namespace {

using test::file;
using test::graphInput;
using test::LogCapture;

const std::string kOverlay = "trim=0:5,setpts=PTS-STARTPTS;overlay=10:10";
const std::string kOverlayChain = "[1]trim=0:5,setpts=PTS-STARTPTS[v1];[0:v][v1]overlay=10:10";

using AddVideoTest = test::OperationTest<LavfiAddVideoToFile>;

TEST_F(AddVideoTest, WorkedExample) {
  test::serveProbe(parser, test::fakeMedia(10, 10));
  const LavfiResult result = run({file("a.mp4"), file("b.mp4")}, kOverlay);
  EXPECT_EQ(result.cmd, "-i \"a.mp4\" -an -i \"b.mp4\" -filter_complex \"" + kOverlayChain + "\" ");
  EXPECT_EQ(result.graph,
            "movie='a.mp4',trim=0:10,setpts=PTS-STARTPTS[v3];amovie='a.mp4',atrim=0:10,asetpts=PTS-STARTPTS[out1];"
            "movie='b.mp4',trim=0:5,setpts=PTS-STARTPTS[v4];[v3][v4]overlay=10:10[out0]");
  EXPECT_EQ(parser.labelCounter, 6u);
  EXPECT_EQ(result.inputFiles, std::vector<std::string>{"a.mp4"});
  EXPECT_EQ(parser.durationOf(result.graph), 10.0);
}

TEST_F(AddVideoTest, TrimsAndOverlaysMustPairUp) {
  test::serveProbe(parser, test::fakeMedia(10, 10));
  const LavfiResult result =
      run({file("a.mp4"), file("b.mp4"), file("c.mp4")}, "trim=0:1;trim=0:2;trim=0:3;overlay=0:0;overlay=1:1");
  EXPECT_TRUE(result.graph.empty());
  EXPECT_TRUE(result.cmd.empty());
  EXPECT_EQ(result.inputFiles, std::vector<std::string>{"a.mp4"});
  EXPECT_TRUE(parser.durations.empty());
  EXPECT_TRUE(log.has("trims size is not equal to overlays size"));
}

TEST_F(AddVideoTest, SegmentsAreSortedByHowTheyBegin) {
  test::serveProbe(parser, test::fakeMedia(10, 10));
  std::vector<LavfiResult> results;
  for (const std::string transform :
       {"trim=0:5;overlay=0:0", "overlay=0:0;trim=0:5", "scale=320:240;trim=0:5;overlay=0:0"}) {
    parser.labelCounter = 0;
    results.push_back(run({file("a.mp4"), file("b.mp4")}, transform));
  }
  for (const LavfiResult& result : results) {
    EXPECT_EQ(result.cmd, results.front().cmd);
    EXPECT_EQ(result.graph, results.front().graph);
  }
  EXPECT_EQ(results.front().cmd,
            "-i \"a.mp4\" -an -i \"b.mp4\" -filter_complex \"[1]trim=0:5[v1];[0:v][v1]overlay=0:0\" ");
}

TEST_F(AddVideoTest, AddedInputsTakeTheirPositions) {
  struct Case {
    std::vector<LavfiInputItem> inputs;
    std::string transform;
    std::string cmd;
    std::string graphTail;
  };
  const Case cases[] = {
      // A subtitle after the overlaid files: an input and a map of its own.
      {{file("a.mp4"), file("b.mp4"), file("s.srt")},
       kOverlay + ";-map 0:a",
       "-i \"a.mp4\" -an -i \"b.mp4\" -i \"s.srt\" -filter_complex \"" + kOverlayChain + "\" -map 0:a -map 2",
       ";movie='b.mp4',trim=0:5,setpts=PTS-STARTPTS[v4];[v3][v4]overlay=10:10[out0]"},
      // Without a map segment the overlay's output and the base's audio go with the subtitle.
      {{file("a.mp4"), file("b.mp4"), file("s.srt")},
       kOverlay,
       "-i \"a.mp4\" -an -i \"b.mp4\" -i \"s.srt\" -filter_complex \"" + kOverlayChain + "\" -map 0:a?  -map 2",
       ";movie='b.mp4',trim=0:5,setpts=PTS-STARTPTS[v4];[v3][v4]overlay=10:10[out0]"},
      // An earlier graph within the trims takes no input index, and its trim
      // goes unused; the overlays go to the files in order.
      {{file("a.mp4"), graphInput("movie='x'[out0]"), file("c.mp4")},
       "trim=0:1;trim=0:2;overlay=1:1;overlay=2:2",
       "-i \"a.mp4\" -an -i \"c.mp4\" -filter_complex \"[1]trim=0:2[v1];[0:v][v1]overlay=1:1\" ",
       ";movie='c.mp4',trim=0:2[v4];[v3][v4]overlay=1:1[out0]"},
      // Two overlays, the second on the result of the first.
      {{file("a.mp4"), file("b.mp4"), file("c.mp4")},
       "trim=0:1;trim=0:2;overlay=1:1;overlay=2:2",
       "-i \"a.mp4\" -an -i \"b.mp4\" -an -i \"c.mp4\" -filter_complex "
       "\"[1]trim=0:1[v1];[2]trim=0:2[v2];[0:v][v1]overlay=1:1[v3];[v3][v2]overlay=2:2\" ",
       ";movie='b.mp4',trim=0:1[v6];movie='c.mp4',trim=0:2[v7];[v5][v6]overlay=1:1[v8];[v8][v7]overlay=2:2[out0]"},
  };
  for (const Case& c : cases) {
    parser.labelCounter = 0;
    test::serveProbe(parser, test::fakeMedia(10, 10));
    const LavfiResult result = run(c.inputs, c.transform);
    EXPECT_EQ(result.cmd, c.cmd) << c.transform;
    EXPECT_TRUE(result.graph.ends_with(c.graphTail)) << result.graph;
  }
}

TEST_F(AddVideoTest, NothingOverlaidWritesNoFilterGraph) {
  test::serveProbe(parser, test::fakeMedia(10, 10));
  LavfiResult result = run({file("a.mp4")}, "-map 0:v");
  EXPECT_EQ(result.cmd, "-i \"a.mp4\" -map 0:v");
  EXPECT_EQ(result.graph,
            "movie='a.mp4',trim=0:10,setpts=PTS-STARTPTS[out0];amovie='a.mp4',atrim=0:10,asetpts=PTS-STARTPTS[out1]");
  result = run({file("a.mp4"), file("s.srt")}, "");
  // The subtitle map alone would leave the base's streams out.
  EXPECT_EQ(result.cmd, "-i \"a.mp4\" -i \"s.srt\" -map 0:v -map 0:a?  -map 1");
  EXPECT_EQ(result.cmd.find("-filter_complex"), std::string::npos);
}

class AddVideoFragmentTest : public AddVideoTest {
 protected:
  const std::string earlier = "movie='a.mp4'[out0];amovie='a.mp4'[out1]";
  void recordFragment(const std::string& cmd) { parser.outputs[earlier] = LavfiOutputRecord{0, "", cmd}; }
};

TEST_F(AddVideoFragmentTest, RewritesTheEarlierFragment) {
  struct Case {
    std::string recorded;
    std::vector<LavfiInputItem> added;
    std::string transform;
    std::string cmd;
  };
  const Case cases[] = {
      // Video maps go (the overlay's unlabelled output takes their place); the
      // remaining map drops the map text.
      {"-i \"a.mp4\" -map 0:v -map 0:a",
       {file("b.mp4")},
       kOverlay + ";-map 0:v",
       "-i \"a.mp4\" -an -i \"b.mp4\" -filter_complex \"" + kOverlayChain + "\" -map 0:a"},
      // The overlay continues the video the existing graph makes.
      {"-i \"a.mp4\" -filter_complex \"[0:v]scale=320:240[v5]\" -map [v5] -map 0:a",
       {file("b.mp4")},
       kOverlay,
       "-i \"a.mp4\" -an -i \"b.mp4\" -filter_complex \"[0:v]scale=320:240[v5];[1]trim=0:5,setpts=PTS-STARTPTS[v1];"
       "[v5][v1]overlay=10:10\" -map 0:a"},
      // An unlabelled video output gets a label of its own.
      {"-i \"a.mp4\" -filter_complex \"[0:v]scale=320:240\"",
       {file("b.mp4")},
       kOverlay,
       "-i \"a.mp4\" -an -i \"b.mp4\" -filter_complex \"[0:v]scale=320:240[v3];[1]trim=0:5,setpts=PTS-STARTPTS[v1];"
       "[v3][v1]overlay=10:10\" "},
      // The base's video switched off: unchanged.
      {"-i \"a.mp4\" -vn -map 0:a", {file("b.mp4")}, kOverlay, "-i \"a.mp4\" -vn -map 0:a"},
      // Nothing overlaid: the video map stays, the subtitle joins with its own map.
      {"-i \"a.mp4\" -filter_complex \"[0:v]scale=320:240[v5]\" -map [v5]",
       {file("s.srt")},
       "",
       "-i \"a.mp4\" -i \"s.srt\" -filter_complex \"[0:v]scale=320:240[v5]\" -map [v5] -map 1"},
  };
  for (const Case& c : cases) {
    parser.labelCounter = 0;
    recordFragment(c.recorded);
    std::vector<LavfiInputItem> inputs{graphInput(earlier)};
    inputs.insert(inputs.end(), c.added.begin(), c.added.end());
    const LavfiResult result = run(inputs, c.transform);
    EXPECT_EQ(result.cmd, c.cmd) << c.recorded;
  }
}

TEST_F(AddVideoFragmentTest, GraphsOfEarlierSteps) {
  // Audio only: passes unchanged.
  LavfiResult result = run({graphInput("amovie='a.mp3'[out0]", 3), file("b.mp4")}, kOverlay);
  EXPECT_EQ(result.graph, "amovie='a.mp3'[out0]");
  EXPECT_EQ(parser.durationOf(result.graph), 3.0);
  // No output label: logged and unchanged.
  result = run({graphInput("movie='a.mp4'[v9]"), file("b.mp4")}, kOverlay);
  EXPECT_EQ(result.graph, "movie='a.mp4'[v9]");
  EXPECT_TRUE(log.has("[mergeLavfi,256]:no audio, no video stream: movie='a.mp4'[v9]"));
  // Without a recorded fragment only the graph changes.
  parser.labelCounter = 0;
  result = run({graphInput(earlier), file("b.mp4")}, kOverlay);
  EXPECT_EQ(result.cmd, "");
  EXPECT_EQ(result.graph,
            "movie='a.mp4'[v1];amovie='a.mp4'[out1];movie='b.mp4',trim=0:5,setpts=PTS-STARTPTS[v2];"
            "[v1][v2]overlay=10:10[out0]");
}

TEST_F(AddVideoFragmentTest, FragmentsAndPathsThatCannotBeUsedAreRefused) {
  for (const std::string recorded : {"-map 0:v", "-i \"a.mp4\" -map", "-i \"a.mp4\" -filter_complex", "-i"}) {
    LogCapture caseLog;
    recordFragment(recorded);
    const LavfiResult result = run({graphInput(earlier), file("b.mp4")}, kOverlay);
    EXPECT_TRUE(result.graph.empty()) << recorded;
    EXPECT_TRUE(result.cmd.empty()) << recorded;
    EXPECT_NE(caseLog.joined().find("addVideoToFile: command fragment with"), std::string::npos) << recorded;
  }
  test::serveProbe(parser, test::fakeMedia(10, 10));
  for (const std::vector<LavfiInputItem>& inputs :
       {std::vector<LavfiInputItem>{file("a.mp4"), file("b\".mp4")},
        std::vector<LavfiInputItem>{file("a.mp4"), file("b.mp4"), file("s\".srt")}}) {
    LogCapture caseLog;
    const LavfiResult result = run(inputs, kOverlay);
    EXPECT_TRUE(result.graph.empty());
    EXPECT_TRUE(result.cmd.empty());
    EXPECT_NE(caseLog.joined().find(kUnwritablePathMessage), std::string::npos) << caseLog.joined();
  }
}

TEST(AddVideoRun, TrimmedClipIsOverlaidInBothForms) {
  test::TempDir dir;
  const std::string base = dir.file("base clip.mp4");
  const std::string added = dir.file("it's: added.mp4");
  test::ClipSpec recipe;
  recipe.seconds = 2;
  test::makeClip(base, recipe);
  recipe.seconds = 1;
  recipe.width = 80;
  recipe.height = 60;
  test::makeClip(added, recipe);
  const std::string baseBytes = test::readFile(base);
  const std::string addedBytes = test::readFile(added);

  LavfiParser parser{makeOperationRegistry()};
  test::serveProbe(parser, test::probe(base).json);
  LavfiOperationDesc desc{
      "trim=0:0.5,setpts=PTS-STARTPTS;overlay=10:10", "", "addVideoToFile", {file(base, 2), file(added, 1)}};
  const LavfiResult result = LavfiAddVideoToFile().process(parser, desc);
  ASSERT_FALSE(result.graph.empty());

  const std::string fromGraph = dir.file("graph.mp4");
  const std::string fromFragment = dir.file("fragment.mp4");
  const CapturedRun graphRun = test::runGraph(result.graph, fromGraph);
  ASSERT_EQ(graphRun.exitCode, 0) << result.graph << "\n" << graphRun.output;
  const CapturedRun fragmentRun = test::runFragment(result.cmd, fromFragment);
  ASSERT_EQ(fragmentRun.exitCode, 0) << result.cmd << "\n" << fragmentRun.output;
  for (const std::string& out : {fromGraph, fromFragment}) {
    const test::ProbeInfo info = test::probe(out);
    ASSERT_TRUE(info.ok) << info.error;
    EXPECT_EQ(info.count("video"), 1) << out;
    EXPECT_EQ(info.count("audio"), 1) << out;
    EXPECT_EQ(info.width, 160);
    EXPECT_EQ(info.height, 120);
    EXPECT_NEAR(info.duration, 2.0, 0.25) << out;
  }
  EXPECT_EQ(test::readFile(base), baseBytes);
  EXPECT_EQ(test::readFile(added), addedBytes);

  // With a subtitle file after the overlaid one, the fragment carries all three kinds.
  const std::string subtitle = dir.file("s.srt");
  test::writeFile(subtitle, "1\n00:00:00,000 --> 00:00:01,500\nHELLO\n\n");
  LavfiOperationDesc withSubtitle{
      desc.transform, "", "addVideoToFile", {file(base, 2), file(added, 1), file(subtitle)}};
  const LavfiResult subtitled = LavfiAddVideoToFile().process(parser, withSubtitle);
  const std::string mkv = dir.file("fragment.mkv");
  const CapturedRun mkvRun = test::runFragment(subtitled.cmd, mkv, {"-c:s", "srt"});
  ASSERT_EQ(mkvRun.exitCode, 0) << subtitled.cmd << "\n" << mkvRun.output;
  const test::ProbeInfo info = test::probe(mkv);
  EXPECT_EQ(info.count("video"), 1) << subtitled.cmd;
  EXPECT_EQ(info.count("audio"), 1) << subtitled.cmd;
  EXPECT_EQ(info.count("subtitle"), 1) << subtitled.cmd;
}

}  // namespace
}  // namespace qel
