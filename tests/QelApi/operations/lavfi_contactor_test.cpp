// The "contact" operation: the worked example, fillers for missing streams,
// earlier graphs as inputs, the output labels of short and audio-only chains,
// refusals, and a real three-clip concatenation with transitions.
#include "operations/lavfi_contactor.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "common/subprocess.h"
#include "support/operation_test_helpers.h"
#include "support/test_support.h"
#include "operations/operation_registry.h"

namespace qel {
namespace {

using test::LogCapture;

LavfiInputItem file(const std::string& path, double duration) { return {1, path, "", duration}; }
LavfiInputItem graphInput(const std::string& graph, double duration) { return {2, graph, "", duration}; }

const std::string kCommon = "scale=1280:720,setsar=1";
const std::string kPair1 = "[v0][v1]xfade=transition=fade:duration=1:offset=9[out0];[a0][a1]acrossfade=d=1[out1]";
const std::string kPair2 = "[v0][v1]xfade=transition=fade:duration=1:offset=16[out0];[a0][a1]acrossfade=d=1[out1]";
const std::string kTransform = kCommon + ";" + kPair1 + ";" + kPair2;

// The chains of a file with video and audio, as the operation writes them.
std::string fileChains(const std::string& path, const std::string& d, int n) {
  return fmt::format(
      "movie='{0}',trim=0:{1},setpts=PTS-STARTPTS,{2}[v{3}];amovie='{0}',atrim=0:{1},asetpts=PTS-STARTPTS,"
      "asettb=AVTB[a{3}]",
      path, d, kCommon, n);
}

class LavfiContactorTest : public ::testing::Test {
 protected:
  LavfiContactorTest() {
    parser.setProbeRunner([this](const std::string& path) {
      auto it = media.find(path);
      return it == media.end() ? std::string() : it->second;
    });
  }
  LavfiResult run(std::vector<LavfiInputItem> inputs, const std::string& transform = kTransform) {
    desc = LavfiOperationDesc{transform, "", "contact", std::move(inputs)};
    return contactor.process(parser, desc);
  }

  std::map<std::string, std::string> media;  // path -> canned ffprobe answer
  LavfiParser parser{makeOperationRegistry()};
  LavfiContactor contactor;
  LavfiOperationDesc desc;
  LogCapture log;
};

TEST_F(LavfiContactorTest, WorkedExample) {
  media = {
      {"/m/a.mp4", test::fakeMedia(10, 10)}, {"/m/b.mp4", test::fakeMedia(8, 8)}, {"/m/c.mp4", test::fakeMedia(6, 6)}};
  parser.labelCounter = 5;
  const std::string request =
      R"({"operation":{"input":[{"type":1,"value":"/m/a.mp4","duration":10},{"type":1,"value":"/m/b.mp4","duration":8},)"
      R"({"type":1,"value":"/m/c.mp4","duration":6}],"transform":")" +
      kTransform + R"(","description":"contact","outputConfig":"-c:v libx264"}})";
  const LavfiParseResult result = parser.parse(request);
  const std::string expected = fileChains("/m/a.mp4", "10", 5) + ";" + fileChains("/m/b.mp4", "8", 6) +
                               ";[v5][v6]xfade=transition=fade:duration=1:offset=9[v7];[a5][a6]acrossfade=d=1[a7];" +
                               fileChains("/m/c.mp4", "6", 8) +
                               ";[v7][v8]xfade=transition=fade:duration=1:offset=16[out0];[a7][a8]acrossfade=d=1[out1]";
  EXPECT_EQ(result.graph, expected);
  EXPECT_TRUE(result.cmd.empty());
  EXPECT_EQ(result.fileNums, 3);
  EXPECT_EQ(parser.durationOf(result.graph), 24.0);  // 10 + 8 + 6, overlaps not subtracted
  EXPECT_EQ(parser.labelCounter, 9u);
  const LavfiOutputRecord* record = parser.findOutput(result.graph);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->transcode, 1);
}

TEST_F(LavfiContactorTest, TwoInputsFromZeroKeepTheGenericLabels) {
  media = {{"/m/a.mp4", test::fakeMedia(10, 10)}, {"/m/b.mp4", test::fakeMedia(8, 8)}};
  // Two template pairs for two inputs: the second pair is simply not used.
  const LavfiResult result = run({file("/m/a.mp4", 10), file("/m/b.mp4", 8)});
  EXPECT_EQ(result.graph, fileChains("/m/a.mp4", "10", 0) + ";" + fileChains("/m/b.mp4", "8", 1) + ";" + kPair1);
  EXPECT_EQ(parser.labelCounter, 2u);
}

// A file whose request duration reads as 0 (absent or unreadable), negative
// or not a number is taken whole: "trim=0:0" would make ffmpeg write an empty
// output and report success.
TEST_F(LavfiContactorTest, FileWithoutUsableDurationIsNotTrimmedToNothing) {
  media = {{"/m/a.mp4", test::fakeMedia(10, 10)}, {"/m/b.mp4", test::fakeMedia(8, 8)}};
  const std::string untrimmedB = "movie='/m/b.mp4'," + kCommon + "[v1];amovie='/m/b.mp4',asettb=AVTB[a1]";
  for (double duration : {0.0, -1.0, std::nan(""), HUGE_VAL}) {
    const LavfiResult result = run({file("/m/a.mp4", 10), file("/m/b.mp4", duration)});
    EXPECT_EQ(result.graph, fileChains("/m/a.mp4", "10", 0) + ";" + untrimmedB + ";" + kPair1) << duration;
    parser.labelCounter = 0;
  }
}

TEST_F(LavfiContactorTest, AudioFileFirstGetsABlackFillerForThePast) {
  media = {{"/m/a.mp3", test::fakeMedia(0, 5)}, {"/m/b.mp4", test::fakeMedia(8, 8)}};
  const LavfiResult result = run({file("/m/a.mp3", 5), file("/m/b.mp4", 8)});
  // The filler lasts the first template's span: duration 1, its offset not
  // being followed by a comma.
  EXPECT_EQ(result.graph, "amovie='/m/a.mp3',asettb=AVTB[a0];color=black:duration=1," + kCommon + "[v0];" +
                              fileChains("/m/b.mp4", "8", 1) + ";" + kPair1);
}

TEST_F(LavfiContactorTest, LaterFileWithoutAudioGetsSilence) {
  media = {{"/m/a.mp4", test::fakeMedia(10, 10)}, {"/m/b.mp4", test::fakeMedia(7.5, 0)}};
  const LavfiResult result = run({file("/m/a.mp4", 10), file("/m/b.mp4", 8)});
  EXPECT_EQ(result.graph, fileChains("/m/a.mp4", "10", 0) + ";movie='/m/b.mp4'," + kCommon +
                              "[v1];anullsrc=cl=stereo:r=44100:duration=7.5,asettb=AVTB[a1];" + kPair1);
}

TEST_F(LavfiContactorTest, EarlierGraphsAsLaterInputs) {
  media = {{"/m/a.mp4", test::fakeMedia(10, 10)}};
  struct Case {
    std::string graph;
    std::string chains;  // what the input contributes, labelled 1
  };
  const Case cases[] = {
      // Its plain scale goes; the common filter and the audio time base come in.
      {"movie='E',scale=640:360[out0];amovie='E'[out1]", ";movie='E'," + kCommon + "[v1];amovie='E',asettb=AVTB[a1]"},
      {"movie='E',scale=640:360,pad=700:400[out0];amovie='E'[out1]",
       ";movie='E',scale=640:360,pad=700:400," + kCommon + "[v1];amovie='E',asettb=AVTB[a1]"},
      // Audio only: black video in front, the audio moved to the audio label.
      {"amovie='E',volume=2dB[out0]",
       ";color=black:duration=8," + kCommon + "[v1];amovie='E',volume=2dB,asettb=AVTB[a1]"},
      // Video only: silence of the request's duration.
      {"movie='E',hflip[out0]",
       ";movie='E',hflip," + kCommon + "[v1];anullsrc=cl=stereo:r=44100:duration=8,asettb=AVTB[a1]"},
  };
  for (const Case& c : cases) {
    parser.labelCounter = 0;
    parser.setDuration(c.graph, 7);
    const LavfiResult result = run({file("/m/a.mp4", 10), graphInput(c.graph, 8)});
    EXPECT_EQ(result.graph, fileChains("/m/a.mp4", "10", 0) + c.chains + ";" + kPair1) << c.graph;
    // An earlier graph counts with the length remembered for it.
    EXPECT_EQ(parser.durationOf(result.graph), 17.0);
  }
}

TEST_F(LavfiContactorTest, EarlierGraphFirst) {
  media = {{"/m/b.mp4", test::fakeMedia(8, 8)}};
  const LavfiResult result =
      run({graphInput("movie='E',scale=640:360[out0];amovie='E'[out1]", 8), file("/m/b.mp4", 8)});
  EXPECT_EQ(result.graph, "movie='E'," + kCommon + "[v0];amovie='E',asettb=AVTB[a0];" + fileChains("/m/b.mp4", "8", 1) +
                              ";" + kPair1);
  // A graph the parser never saw adds no duration.
  EXPECT_EQ(parser.durationOf(result.graph), 8.0);
}

TEST_F(LavfiContactorTest, SingleInputKeepsTheOutputLabels) {
  media = {{"/m/a.mp4", test::fakeMedia(10, 10)}, {"/m/a.mp3", test::fakeMedia(0, 10)}};
  parser.labelCounter = 3;
  EXPECT_EQ(run({file("/m/a.mp4", 10)}, kCommon + ";" + kPair1).graph,
            "movie='/m/a.mp4',trim=0:10,setpts=PTS-STARTPTS," + kCommon +
                "[out0];amovie='/m/a.mp4',atrim=0:10,asetpts=PTS-STARTPTS,asettb=AVTB[out1]");
  EXPECT_EQ(parser.labelCounter, 4u);
  EXPECT_EQ(run({file("/m/a.mp3", 10)}, kCommon + ";" + kPair1).graph, "amovie='/m/a.mp3',asettb=AVTB[out0]");
  EXPECT_EQ(run({graphInput("movie='E'[out0];amovie='E'[out1]", 3)}, kCommon + ";" + kPair1).graph,
            "movie='E'," + kCommon + "[out0];amovie='E',asettb=AVTB[out1]");
}

TEST_F(LavfiContactorTest, AudioOnlyChainsEndInOut0) {
  media = {
      {"/m/a.mp3", test::fakeMedia(0, 4)}, {"/m/b.mp3", test::fakeMedia(0, 5)}, {"/m/c.mp3", test::fakeMedia(0, 6)}};
  const LavfiResult result = run({file("/m/a.mp3", 4), file("/m/b.mp3", 5), file("/m/c.mp3", 6)});
  EXPECT_EQ(result.graph,
            "amovie='/m/a.mp3',asettb=AVTB[a0];amovie='/m/b.mp3',asettb=AVTB[a1];[a0][a1]acrossfade=d=1[a2];"
            "amovie='/m/c.mp3',asettb=AVTB[a3];[a2][a3]acrossfade=d=1[out0]");
}

TEST_F(LavfiContactorTest, EmptyCommonFilterLeavesNoLoneComma) {
  media = {{"/m/a.mp4", test::fakeMedia(10, 0)}, {"/m/b.mp4", test::fakeMedia(8, 0)}};
  const LavfiResult result = run({file("/m/a.mp4", 10), file("/m/b.mp4", 8)}, kPair1);
  EXPECT_EQ(result.graph,
            "movie='/m/a.mp4'[v0];movie='/m/b.mp4'[v1];[v0][v1]xfade=transition=fade:duration=1:offset=9[out0]");
}

TEST_F(LavfiContactorTest, Refusals) {
  media = {{"/m/a.mp4", test::fakeMedia(10, 10)},
           {"/m/none.mp4", test::fakeMedia(0, 0)},
           {"/m/q\"x.mp4", test::fakeMedia(10, 10)}};
  struct Case {
    std::vector<LavfiInputItem> inputs;
    std::string transform;
    std::string line;
  };
  const Case cases[] = {
      {{file("/m/a.mp4", 1), file("/m/a.mp4", 1)},
       "scale=2:2;[v0][v1]blend[out0]",
       "[process,34]:videoParams is empety,scale=2:2;[v0][v1]blend[out0]"},
      {{file("/m/a.mp4", 1), file("/m/a.mp4", 1), file("/m/a.mp4", 1)},
       kCommon + ";" + kPair1,
       "[process,44]:videoParams's size donot match inputs's size," + kCommon + ";" + kPair1},
      {{file("/m/a.mp4", 1), file("/m/none.mp4", 1)},
       kTransform,
       "[process,167]:no audio, no video stream: /m/none.mp4"},
      // A double quote cannot stand inside the quoted graph of a command text.
      {{file("/m/a.mp4", 1), file("/m/q\"x.mp4", 1)},
       kTransform,
       "[process,167]:path cannot be written into a filter graph: /m/q\"x.mp4"},
      {{file("/m/a.mp4", 1), graphInput("movie='E'[v9]", 1)},
       kTransform,
       "[process,69]:no audio, no video stream: movie='E'[v9]"},
  };
  for (const Case& c : cases) {
    LogCapture caseLog;
    const LavfiResult result = run(c.inputs, c.transform);
    EXPECT_TRUE(result.graph.empty()) << c.line;
    EXPECT_TRUE(caseLog.has(c.line)) << caseLog.joined();
  }
}

TEST(LavfiContactorText, ParseTransitions) {
  std::vector<std::string> video;
  std::vector<std::string> audio;
  EXPECT_EQ(LavfiContactor::parseTransitions(" " + kTransform + " ; ", video, audio), " " + kCommon);
  EXPECT_EQ(video, (std::vector<std::string>{"[v0][v1]xfade=transition=fade:duration=1:offset=9[out0]",
                                             "[v0][v1]xfade=transition=fade:duration=1:offset=16[out0]"}));
  EXPECT_EQ(audio, (std::vector<std::string>{"[a0][a1]acrossfade=d=1[out1]", "[a0][a1]acrossfade=d=1[out1]"}));
  video.clear();
  audio.clear();
  // A video template without its audio partner is no pair.
  EXPECT_EQ(LavfiContactor::parseTransitions(kCommon + ";[v0][v1]xfade=duration=1:offset=2[out0]", video, audio),
            kCommon);
  EXPECT_TRUE(video.empty());
  EXPECT_EQ(LavfiContactor::parseTransitions("scale=2:2", video, audio), "");
}

TEST(LavfiContactorText, TransitionSpan) {
  EXPECT_EQ(LavfiContactor::transitionSpan("[v0][v1]xfade=transition=fade:duration=1:offset=9,format=yuv420p[out0]"),
            10);
  EXPECT_EQ(LavfiContactor::transitionSpan("[v0][v1]xfade=transition=fade:duration=1:offset=9[out0]"), 1);
  EXPECT_EQ(LavfiContactor::transitionSpan("[v0][v1]xfade=offset=2.5,duration=0.5[out0]"), 2.5);
  EXPECT_EQ(LavfiContactor::transitionSpan("[v0][v1]blend[out0]"), 0);
}

TEST(LavfiContactorText, RelabelAndDropOutputScale) {
  std::string tmpl = "[v0][v1]xfade=duration=1[out0]";
  LavfiContactor::relabelTransition(tmpl, 1, 2);
  LavfiContactor::relabelTransition(tmpl, 0, 1);
  EXPECT_EQ(tmpl, "[v1][v2]xfade=duration=1[out0]");

  struct Case {
    std::string graph;
    std::string expected;
  };
  const Case cases[] = {
      {"movie='E',scale=640:360[out0]", "movie='E'[out0]"},
      {"movie='E',scale=640:3600,hflip,scale=640:360[out0]", "movie='E',scale=640:3600,hflip[out0]"},
      {"movie='E',scale=-2:360[out0]", "movie='E',scale=-2:360[out0]"},
      {"movie='E',crop=2:2,scale=640:360[out0]", "movie='E',crop=2:2,scale=640:360[out0]"},
      {"movie='E',scale=640:360[s];[s]hflip[out0]", "movie='E',scale=640:360[s];[s]hflip[out0]"},
  };
  for (const Case& c : cases) {
    std::string graph = c.graph;
    LavfiContactor::dropOutputScale(graph, true);
    EXPECT_EQ(graph, c.expected) << c.graph;
  }
}

// Three clips, the middle one without audio, joined by two half-second fades.
// The common filter brings every chain (and the black filler lavfi's color
// source would give) to one size, aspect, frame rate, pixel format and time
// base, which xfade requires of both sides.
TEST(LavfiContactorRun, ThreeClipsWithTransitionsRunInFfmpeg) {
  test::TempDir dir;
  std::vector<std::string> clips;
  for (int i = 0; i < 3; ++i) {
    test::ClipSpec recipe;
    recipe.seconds = 1.0;
    recipe.audio = i != 1;
    clips.push_back(dir.file(fmt::format("clip{}.mp4", i)));
    test::makeClip(clips.back(), recipe);
  }
  LavfiParser parser{makeOperationRegistry()};
  test::probeWithFfprobe(parser);
  LavfiContactor contactor;
  const std::string transform =
      "scale=160:120,setsar=1,fps=25,format=yuv420p,settb=AVTB;"
      "[v0][v1]xfade=transition=fade:duration=0.5:offset=0.5[out0];[a0][a1]acrossfade=d=0.5[out1];"
      "[v0][v1]xfade=transition=wipeleft:duration=0.5:offset=1[out0];[a0][a1]acrossfade=d=0.5[out1]";
  LavfiOperationDesc desc{transform, "", "contact", {file(clips[0], 1), file(clips[1], 1), file(clips[2], 1)}};
  const LavfiResult result = contactor.process(parser, desc);
  ASSERT_NE(result.graph.find("anullsrc=cl=stereo:r=44100:duration=1,asettb=AVTB[a1]"), std::string::npos)
      << result.graph;
  EXPECT_EQ(result.inputFiles, clips);

  // ffmpeg 5.1 hands aac frames of any length from loudnorm and acrossfade,
  // which its aac encoder refuses; PCM in Matroska takes them as they come.
  const std::string out = dir.file("out.mkv");
  const CapturedRun run = test::runGraph(result.graph, {"[out0]", "[out1]"}, out, {"-c:a", "pcm_s16le"});
  ASSERT_EQ(run.exitCode, 0) << run.output;
  const test::ProbeInfo info = test::probe(out);
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_EQ(info.width, 160);
  EXPECT_EQ(info.height, 120);
  EXPECT_EQ(info.count("audio"), 1);
  EXPECT_NEAR(info.duration, 2.0, 0.3);  // three seconds less two half-second overlaps
}

}  // namespace
}  // namespace qel
