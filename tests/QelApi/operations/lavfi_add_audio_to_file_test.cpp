// The "addAudioToFile" operation: graph and fragment texts (label numbers
// included), refusals of fragments and transforms it cannot extend, and real
// ffmpeg runs of both forms: an added audio mixed in, one replacing the base's
// audio, and a single input that keeps its picture.
#include "operations/lavfi_add_audio_to_file.h"

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

const std::string kMix = "volume=0.5;amix=inputs=2:duration=first;-map 0:v";

using AddAudioTest = test::OperationTest<LavfiAddAudioToFile>;

TEST_F(AddAudioTest, WorkedExample) {
  test::serveProbe(parser, test::fakeMedia(10, 10));
  const LavfiResult result = run({file("a.mp4"), file("b.mp3")}, kMix);
  EXPECT_EQ(result.cmd,
            "-i \"a.mp4\" -i \"b.mp3\" -filter_complex "
            "\"[0:a]asetpts=PTS-STARTPTS[a1];[1]asetpts=PTS-STARTPTS,volume=0.5[a2];"
            "[a1][a2]amix=inputs=2:duration=first[a3]\" -map 0:v -map [a3]");
  // Every stream the mix reads starts at 0; a chain already reset keeps one reset.
  EXPECT_EQ(result.graph,
            "movie='a.mp4',trim=0:10,setpts=PTS-STARTPTS[out0];amovie='a.mp4',atrim=0:10,asetpts=PTS-STARTPTS[a4];"
            "amovie='b.mp3',asetpts=PTS-STARTPTS,volume=0.5[a5];[a4][a5]amix=inputs=2:duration=first[out1]");
  EXPECT_EQ(parser.labelCounter, 6u);
  EXPECT_EQ(result.inputFiles, std::vector<std::string>{"a.mp4"});
  EXPECT_EQ(parser.durationOf(result.graph), 10.0);
}

TEST_F(AddAudioTest, FileBasesWithoutTheirOwnAudio) {
  struct Case {
    std::string name;
    double audio;
    std::string prevOp;
    std::string cmd;
    std::string graph;
  };
  const Case cases[] = {
      // "-an": the fragment's silent track has the request's length, the
      // graph's the probed video length; both open the mix.
      {"an", 9.5, "-an",
       "-an -i \"a.mp4\" -i \"b.mp3\" -filter_complex \"anullsrc=cl=stereo:r=44100:duration=10[a0];"
       "[1]asetpts=PTS-STARTPTS,volume=0.5[a1];[a0][a1]amix=inputs=2:duration=first[a2]\" -map 0:v -map [a2]",
       "movie='a.mp4'[out0];anullsrc=cl=stereo:r=44100:duration=9.5[a3];"
       "amovie='b.mp3',asetpts=PTS-STARTPTS,volume=0.5[a4];[a3][a4]amix=inputs=2:duration=first[out1]"},
      {"no audio", 0, "",
       "-i \"a.mp4\" -i \"b.mp3\" -filter_complex \"anullsrc=cl=stereo:r=44100:duration=9.5[a0];"
       "[1]asetpts=PTS-STARTPTS,volume=0.5[a1];[a0][a1]amix=inputs=2:duration=first[a2]\" -map 0:v -map [a2]",
       "movie='a.mp4'[out0];anullsrc=cl=stereo:r=44100:duration=9.5[a3];"
       "amovie='b.mp3',asetpts=PTS-STARTPTS,volume=0.5[a4];[a3][a4]amix=inputs=2:duration=first[out1]"},
  };
  for (const Case& c : cases) {
    parser.labelCounter = 0;
    test::serveProbe(parser, test::fakeMedia(9.5, c.audio));
    const LavfiResult result = run({file("a.mp4", 10, c.prevOp), file("b.mp3")}, kMix);
    EXPECT_EQ(result.cmd, c.cmd) << c.name;
    EXPECT_EQ(result.graph, c.graph) << c.name;
  }
}

TEST_F(AddAudioTest, SingleInputFiltersTheAudioChainItself) {
  test::serveProbe(parser, test::fakeMedia(10, 10));
  const LavfiResult result = run({file("a.mp4")}, "volume=2;-map 0:v");
  EXPECT_EQ(result.cmd, "-i \"a.mp4\" -filter_complex \"[0:a]volume=2[a0]\" -map 0:v -map [a0]");
  // One "[out1]" only: the filter joins the audio chain before its label.
  EXPECT_EQ(result.graph,
            "movie='a.mp4',trim=0:10,setpts=PTS-STARTPTS[out0];"
            "amovie='a.mp4',atrim=0:10,asetpts=PTS-STARTPTS,volume=2[out1]");
  EXPECT_EQ(parser.labelCounter, 1u);
}

TEST_F(AddAudioTest, SingleInputWithoutMapsKeepsThePicture) {
  test::serveProbe(parser, test::fakeMedia(10, 10));
  const LavfiResult result = run({file("a.mp4")}, "volume=2");
  EXPECT_EQ(result.cmd, "-i \"a.mp4\" -filter_complex \"[0:a]volume=2[a0]\" -map 0:v  -map [a0]");
}

TEST_F(AddAudioTest, SingleInputWithSilentBaseMixesTheSilentTrack) {
  test::serveProbe(parser, test::fakeMedia(10, 10));
  const LavfiResult result = run({file("a.mp4", 10, "-an")}, "volume=2;-map 0:v");
  EXPECT_EQ(result.cmd,
            "-an -i \"a.mp4\" -filter_complex \"anullsrc=cl=stereo:r=44100:duration=10[a0];[a0]volume=2[a1]\" "
            "-map 0:v -map [a1]");
  EXPECT_EQ(result.graph, "movie='a.mp4'[out0];anullsrc=cl=stereo:r=44100:duration=10,volume=2[out1]");
}

TEST_F(AddAudioTest, AddedInputsTakeTheirPositionsChainsAndIndexes) {
  struct Case {
    std::vector<LavfiInputItem> inputs;
    std::string transform;
    std::string cmd;
    std::string graphTail;
  };
  const Case cases[] = {
      // A subtitle takes an input index and a map, and its position's chain goes unused.
      {{file("a.mp4"), file("s.srt"), file("b.mp3")},
       "x;volume=0.5;amix=inputs=2;-map 0:v",
       "-i \"a.mp4\" -i \"s.srt\" -i \"b.mp3\" -filter_complex \"[0:a]asetpts=PTS-STARTPTS[a1];"
       "[2]asetpts=PTS-STARTPTS,volume=0.5[a2];[a1][a2]amix=inputs=2[a3]\" -map 0:v -map 1 -map [a3]",
       "[a4];amovie='b.mp3',asetpts=PTS-STARTPTS,volume=0.5[a5];[a4][a5]amix=inputs=2[out1]"},
      // Without a map segment the subtitle's map chooses only the subtitle: the picture is mapped too.
      {{file("a.mp4"), file("b.mp3"), file("s.srt")},
       "volume=1;;amix=inputs=2:duration=first",
       "-i \"a.mp4\" -i \"b.mp3\" -i \"s.srt\" -filter_complex \"[0:a]asetpts=PTS-STARTPTS[a1];"
       "[1]asetpts=PTS-STARTPTS,volume=1[a2];[a1][a2]amix=inputs=2:duration=first[a3]\" -map 0:v  -map 2 -map [a3]",
       "[a4];amovie='b.mp3',asetpts=PTS-STARTPTS,volume=1[a5];[a4][a5]amix=inputs=2:duration=first[out1]"},
      // An input of neither kind takes no index, but still its position.
      {{file("a.mp4"), file("c.txt"), file("b.mp3")},
       "x;volume=0.5;amix=inputs=2;-map 0:v",
       "-i \"a.mp4\" -i \"b.mp3\" -filter_complex \"[0:a]asetpts=PTS-STARTPTS[a1];"
       "[1]asetpts=PTS-STARTPTS,volume=0.5[a2];[a1][a2]amix=inputs=2[a3]\" -map 0:v -map [a3]",
       "[a4];amovie='b.mp3',asetpts=PTS-STARTPTS,volume=0.5[a5];[a4][a5]amix=inputs=2[out1]"},
      // A "-map" segment that is not last is a chain; an empty chain passes the audio unchanged.
      {{file("a.mp4"), file("b.mp3"), file("c.wav")},
       ";-map x;amix=inputs=3",
       "-i \"a.mp4\" -i \"b.mp3\" -i \"c.wav\" -filter_complex \"[0:a]asetpts=PTS-STARTPTS[a1];"
       "[1]asetpts=PTS-STARTPTS[a2];[2]asetpts=PTS-STARTPTS,-map x[a3];[a1][a2][a3]amix=inputs=3[a4]\" -map 0:v  -map "
       "[a4]",
       "[a5];amovie='b.mp3',asetpts=PTS-STARTPTS[a6];amovie='c.wav',asetpts=PTS-STARTPTS,-map x[a7];"
       "[a5][a6][a7]amix=inputs=3[out1]"},
  };
  for (const Case& c : cases) {
    parser.labelCounter = 0;
    test::serveProbe(parser, test::fakeMedia(10, 10));
    const LavfiResult result = run(c.inputs, c.transform);
    EXPECT_EQ(result.cmd, c.cmd) << c.transform;
    EXPECT_TRUE(result.graph.ends_with(c.graphTail)) << result.graph;
  }
}

// An earlier step whose record carries a command fragment.
class AddAudioFragmentTest : public AddAudioTest {
 protected:
  const std::string earlier = "movie='a.mp4'[out0];amovie='a.mp4'[out1]";
  void recordFragment(const std::string& cmd) { parser.outputs[earlier] = LavfiOutputRecord{0, "", cmd}; }
  LavfiResult runOnEarlier(const std::string& transform = kMix) {
    return run({graphInput(earlier), file("b.mp3")}, transform);
  }
};

TEST_F(AddAudioFragmentTest, RewritesTheEarlierFragment) {
  struct Case {
    std::string recorded;
    std::string cmd;
  };
  const Case cases[] = {
      // The map text is not appended for an earlier graph; the audio map goes into the mix.
      {"-i \"a.mp4\" -map 0:v -map 0:a",
       "-i \"a.mp4\" -i \"b.mp3\" -filter_complex "
       "\"[0:a]asetpts=PTS-STARTPTS[a1];[1]asetpts=PTS-STARTPTS,volume=0.5[a2];"
       "[a1][a2]amix=inputs=2:duration=first[a3]\" -map 0:v -map [a3]"},
      // An audio map marked optional opens the mix as the plain stream label.
      {"-i \"a.mp4\" -map 0:v -map 0:a?",
       "-i \"a.mp4\" -i \"b.mp3\" -filter_complex "
       "\"[0:a]asetpts=PTS-STARTPTS[a1];[1]asetpts=PTS-STARTPTS,volume=0.5[a2];"
       "[a1][a2]amix=inputs=2:duration=first[a3]\" -map 0:v -map [a3]"},
      // A map of the whole base would carry its audio beside the mix: the mix takes its place.
      {"-i \"a.mp4\" -i \"s.srt\" -map 0 -map 1",
       "-i \"a.mp4\" -i \"s.srt\" -i \"b.mp3\" -filter_complex "
       "\"[0:a]asetpts=PTS-STARTPTS[a1];[2]asetpts=PTS-STARTPTS,volume=0.5[a2];"
       "[a1][a2]amix=inputs=2:duration=first[a3]\" -map 0 -map 1 -map -0:a -map [a3]"},
      // A mapped audio label opens the mix, which follows that label in the existing graph.
      {"-i \"a.mp4\" -filter_complex \"[0:a]volume=2[a7]\" -map 0:v -map [a7]",
       "-i \"a.mp4\" -i \"b.mp3\" -filter_complex \"[0:a]volume=2[a7];[a7]asetpts=PTS-STARTPTS[a1];"
       "[1]asetpts=PTS-STARTPTS,volume=0.5[a2];[a1][a2]amix=inputs=2:duration=first[a3]\" -map 0:v -map [a3]"},
      // An unlabelled audio filter gets a label of its own that the mix reads.
      {"-i \"a.mp4\" -filter_complex \"[0:v]hflip;[0:a]volume=2\"",
       "-i \"a.mp4\" -i \"b.mp3\" -filter_complex \"[0:v]hflip;[0:a]volume=2[a4];[a4]asetpts=PTS-STARTPTS[a1];"
       "[1]asetpts=PTS-STARTPTS,volume=0.5[a2];[a1][a2]amix=inputs=2:duration=first[a3]\" -map [a3]"},
      // A graph with video only: the mix joins after its labelled output.
      {"-i \"a.mp4\" -filter_complex \"[0:v]scale=320:240[v5]\" -map [v5]",
       "-i \"a.mp4\" -i \"b.mp3\" -filter_complex \"[0:v]scale=320:240[v5];[0:a]asetpts=PTS-STARTPTS[a1];"
       "[1]asetpts=PTS-STARTPTS,volume=0.5[a2];[a1][a2]amix=inputs=2:duration=first[a3]\" -map [v5] -map [a3]"},
      // A fragment that maps nothing and has no graph keeps the base's video.
      {"-ss 1 -i \"a.mp4\"",
       "-ss 1 -i \"a.mp4\" -i \"b.mp3\" -filter_complex \"[0:a]asetpts=PTS-STARTPTS[a1];"
       "[1]asetpts=PTS-STARTPTS,volume=0.5[a2];[a1][a2]amix=inputs=2:duration=first[a3]\" -map 0:v? -map [a3]"},
      // "-an" after the first input belongs to another input, not to the base.
      {"-i \"a.mp4\" -an -i \"c.mp4\" -map 0:v",
       "-i \"a.mp4\" -an -i \"c.mp4\" -i \"b.mp3\" -filter_complex \"[0:a]asetpts=PTS-STARTPTS[a1];"
       "[2]asetpts=PTS-STARTPTS,volume=0.5[a2];[a1][a2]amix=inputs=2:duration=first[a3]\" -map 0:v -map [a3]"},
  };
  for (const Case& c : cases) {
    parser.labelCounter = 0;
    recordFragment(c.recorded);
    const LavfiResult result = runOnEarlier();
    EXPECT_EQ(result.cmd, c.cmd) << c.recorded;
    // The graph is built from the earlier graph alone, after the fragment's labels.
    EXPECT_TRUE(result.graph.starts_with("movie='a.mp4'[out0];amovie='a.mp4',asetpts=PTS-STARTPTS[a")) << result.graph;
    EXPECT_TRUE(result.graph.ends_with("volume=0.5[a" + std::to_string(parser.labelCounter - 1) + "];[a" +
                                       std::to_string(parser.labelCounter - 2) + "][a" +
                                       std::to_string(parser.labelCounter - 1) + "]amix=inputs=2:duration=first[out1]"))
        << result.graph;
  }
}

TEST_F(AddAudioFragmentTest, EarlierGraphWithoutFragmentOrWithoutAudio) {
  // No recorded fragment: only the graph is built, and only it takes labels.
  LavfiResult result = runOnEarlier();
  EXPECT_EQ(result.cmd, "");
  EXPECT_EQ(result.graph,
            "movie='a.mp4'[out0];amovie='a.mp4',asetpts=PTS-STARTPTS[a0];"
            "amovie='b.mp3',asetpts=PTS-STARTPTS,volume=0.5[a1];[a0][a1]amix=inputs=2:duration=first[out1]");
  // A video-only graph gets a silent track of the base's length to mix into.
  result = run({graphInput("movie='a.mp4',hflip[out0]", 4), file("b.mp3")}, kMix);
  EXPECT_EQ(result.graph,
            "movie='a.mp4',hflip[out0];anullsrc=cl=stereo:r=44100:duration=4[a2];"
            "amovie='b.mp3',asetpts=PTS-STARTPTS,volume=0.5[a3];[a2][a3]amix=inputs=2:duration=first[out1]");
  // An audio-only graph mixes under "[out0]".
  result = run({graphInput("amovie='a.mp3'[out0]"), file("b.mp3")}, kMix);
  EXPECT_EQ(result.graph,
            "amovie='a.mp3',asetpts=PTS-STARTPTS[a4];amovie='b.mp3',asetpts=PTS-STARTPTS,volume=0.5[a5];"
            "[a4][a5]amix=inputs=2:duration=first[out0]");
  // No output label: logged, the graph stays.
  result = run({graphInput("movie='a.mp4'[v1]"), file("b.mp3")}, kMix);
  EXPECT_EQ(result.graph, "movie='a.mp4'[v1]");
  EXPECT_TRUE(log.has("[mergeLavfi,237]:no audio, no video stream: movie='a.mp4'[v1]")) << log.joined();
}

TEST_F(AddAudioFragmentTest, FragmentsThatCannotBeExtendedAreRefused) {
  for (const std::string recorded : {"-map 0:v", "-i \"a.mp4\" -map", "-i \"a.mp4\" -filter_complex", "-i"}) {
    LogCapture caseLog;
    recordFragment(recorded);
    const LavfiResult result = runOnEarlier();
    EXPECT_TRUE(result.graph.empty()) << recorded;
    EXPECT_TRUE(result.cmd.empty()) << recorded;
    EXPECT_NE(caseLog.joined().find("addAudioToFile: command fragment with"), std::string::npos) << recorded;
  }
}

TEST_F(AddAudioTest, TransformsThatCannotBeBuiltAreRefused) {
  struct Case {
    std::vector<LavfiInputItem> inputs;
    std::string transform;
    std::string message;
  };
  const Case cases[] = {
      {{file("a.mp4"), file("b.mp3"), file("c.mp3")}, "amix=inputs=3", "no filter chain for added input 2"},
      {{file("a.mp4"), file("b.mp3")}, "-map 0:v", "no filter chain for added input 1"},
      {{file("a.mp4"), file("b.mp3")}, "volume=0.5;", "no mixing filter"},
      {{file("a.mp4"), file("b\".mp3")}, kMix, kUnwritablePathMessage},
      {{file("a.mp4"), file("s\".srt")}, kMix, kUnwritablePathMessage},
  };
  test::serveProbe(parser, test::fakeMedia(10, 10));
  for (const Case& c : cases) {
    LogCapture caseLog;
    const LavfiResult result = run(c.inputs, c.transform);
    EXPECT_TRUE(result.graph.empty()) << c.transform;
    EXPECT_TRUE(result.cmd.empty()) << c.transform;
    EXPECT_NE(caseLog.joined().find(c.message), std::string::npos) << caseLog.joined();
  }
}

TEST_F(AddAudioTest, DispatchedByTheParser) {
  test::serveProbe(parser, test::fakeMedia(10, 10));
  const LavfiParseResult parsed = parser.parse(
      R"({"operation":{"input":[{"type":1,"value":"a.mp4","duration":10},{"type":1,"value":"b.mp3","duration":3}],)"
      R"("transform":"volume=0.5;amix=inputs=2:duration=first;-map 0:v","description":"addaudiotofile"}})");
  EXPECT_NE(parsed.graph.find("amix=inputs=2:duration=first[out1]"), std::string::npos);
  ASSERT_NE(parser.findOutput(parsed.graph), nullptr);
  EXPECT_EQ(parser.findOutput(parsed.graph)->cmd, parsed.cmd);
  EXPECT_EQ(parsed.fileNums, 1);
  // The three add operations stand at registry positions 15 to 17.
  ASSERT_GE(parser.registry.size(), 17u);
  EXPECT_STREQ(parser.registry[14]->name(), "addAudioToFile");
  EXPECT_STREQ(parser.registry[15]->name(), "addVideoToFile");
  EXPECT_STREQ(parser.registry[16]->name(), "addSubtitleToFile");
}

// Real runs: both forms of one edit, each checked with ffprobe.
class AddAudioRun : public ::testing::Test {
 protected:
  void SetUp() override {
    test::ClipSpec base;
    base.seconds = 2;
    test::makeClip(clip, base);
    test::ClipSpec added;
    added.seconds = 3;  // longer than the base: the mix must still end with the base
    added.video = false;
    test::makeClip(music, added);
    clipBytes = test::readFile(clip);
    musicBytes = test::readFile(music);
  }

  LavfiResult process(std::vector<LavfiInputItem> inputs, const std::string& transform) {
    test::serveProbe(parser, test::probe(clip).json);
    LavfiOperationDesc desc{transform, "", "addAudioToFile", std::move(inputs)};
    return LavfiAddAudioToFile().process(parser, desc);
  }

  // Runs both forms and checks one video and one audio stream of the base's
  // length; returns the two outputs' peak levels.
  std::vector<double> runBothForms(const LavfiResult& result) {
    std::vector<double> levels;
    const std::string fromGraph = dir.file("graph.mp4");
    const std::string fromFragment = dir.file("fragment.mp4");
    const CapturedRun graphRun = test::runGraph(result.graph, fromGraph);
    EXPECT_EQ(graphRun.exitCode, 0) << result.graph << "\n" << graphRun.output;
    const CapturedRun fragmentRun = test::runFragment(result.cmd, fromFragment);
    EXPECT_EQ(fragmentRun.exitCode, 0) << result.cmd << "\n" << fragmentRun.output;
    for (const std::string& out : {fromGraph, fromFragment}) {
      const test::ProbeInfo info = test::probe(out);
      EXPECT_TRUE(info.ok) << out << info.error;
      EXPECT_EQ(info.count("video"), 1) << out;
      EXPECT_EQ(info.count("audio"), 1) << out;
      EXPECT_NEAR(info.duration, 2.0, 0.25) << out;
      levels.push_back(test::maxVolume(out));
    }
    EXPECT_EQ(test::readFile(clip), clipBytes);
    EXPECT_EQ(test::readFile(music), musicBytes);
    return levels;
  }

  test::TempDir dir;
  const std::string clip = dir.file("clip.mp4");
  const std::string music = dir.file("music's: a=b.wav");
  std::string clipBytes;
  std::string musicBytes;
  LavfiParser parser{makeOperationRegistry()};
};

TEST_F(AddAudioRun, AddedAudioIsMixedIn) {
  const LavfiResult result = process({file(clip, 2), file(music, 3)}, kMix);
  for (double level : runBothForms(result)) EXPECT_GT(level, -40.0);
}

TEST_F(AddAudioRun, AddedAudioReplacesTheBaseAudio) {
  // The added track is silenced by its chain: with the base's audio switched
  // off, what is left is silence.
  const LavfiResult result =
      process({file(clip, 2, "-an"), file(music, 3)}, "volume=0;amix=inputs=2:duration=first;-map 0:v");
  for (double level : runBothForms(result)) EXPECT_LT(level, -80.0);
}

TEST_F(AddAudioRun, SingleInputKeepsThePicture) {
  const LavfiResult result = process({file(clip, 2)}, "volume=0.5");
  runBothForms(result);
}

}  // namespace
}  // namespace qel
