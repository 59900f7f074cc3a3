// The "trackSelection" operation: graphs and command fragments built from the
// "-map" options and the further inputs (canned probes), and real ffmpeg runs
// of the graphs it returns.
#include "operations/lavfi_track_selection.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/operation_test_helpers.h"
#include "QelApi/operations/real_engine_helpers.h"
#include "support/test_support.h"

namespace qel {
namespace {

using test::LogCapture;

LavfiInputItem file(const std::string& path, double duration, const std::string& prevOp = "") {
  return {1, path, prevOp, duration};
}

// A file with a video stream and `audioStreams` audio streams, in that order.
std::string mediaWithAudio(int audioStreams) {
  std::vector<test::FakeStream> streams{{"video", "h264", "60"}};
  for (int i = 0; i < audioStreams; ++i) streams.push_back({"audio", "aac", "60"});
  return test::fakeProbeJson(streams);
}

using LavfiTrackSelectionTest = test::OperationTest<LavfiTrackSelection>;

TEST_F(LavfiTrackSelectionTest, NameIsTrackSelection) { EXPECT_STREQ(operation.name(), "trackSelection"); }

TEST_F(LavfiTrackSelectionTest, SelectedAudioTrackKeepsTheFurtherAudioOutOfTheGraph) {
  test::serveProbe(parser, mediaWithAudio(2));
  const LavfiResult result = run({file("a.mp4", 60), file("b.mp3", 30)}, "-map 0:v -map 0:a:1");
  EXPECT_EQ(result.graph,
            "movie='a.mp4',trim=0:60,setpts=PTS-STARTPTS[out0];"
            "amovie='a.mp4':si=2,atrim=0:60,asetpts=PTS-STARTPTS[out1]");
  EXPECT_EQ(result.cmd, "-i \"a.mp4\"   -i \"b.mp3\" -map 0:v -map 0:a:1  -map 1:a");
  EXPECT_EQ(result.inputFiles, std::vector<std::string>{"a.mp4"});
  EXPECT_EQ(parser.durationOf(result.graph), 60.0);
  EXPECT_EQ(parser.labelCounter, 0u);
}

TEST_F(LavfiTrackSelectionTest, ShortFurtherAudioIsPaddedWithSilence) {
  test::serveProbe(parser, mediaWithAudio(2));
  const LavfiResult result = run({file("a.mp4", 60), file("b.mp3", 30)}, "-map 0:v");
  EXPECT_EQ(result.graph,
            "movie='a.mp4',trim=0:60,setpts=PTS-STARTPTS[out0];"
            "amovie='b.mp3'[a0];anullsrc=cl=stereo:r=44100:duration=31[a1];"
            "[a0][a1]acrossfade=d=0.1:c1=exp:c2=exp,atrim=0:60,asetpts=PTS-STARTPTS[out1]");
  EXPECT_EQ(result.cmd, "-i \"a.mp4\"   -i \"b.mp3\" -map 0:v  -map 1:a");
  EXPECT_EQ(parser.labelCounter, 2u);

  // The labels come from the engine-wide counter, and the padding is written
  // in the shortest form.
  parser.labelCounter = 7;
  const LavfiResult later = run({file("a.mp4", 10.25), file("b.mp3", 2.5)}, "-map 0:v");
  EXPECT_NE(later.graph.find("amovie='b.mp3'[a7];anullsrc=cl=stereo:r=44100:duration=8.75[a8];[a7][a8]acrossfade"),
            std::string::npos)
      << later.graph;
  EXPECT_NE(later.graph.find("trim=0:10.25,"), std::string::npos);
  EXPECT_EQ(parser.labelCounter, 9u);
}

TEST_F(LavfiTrackSelectionTest, GraphsAndFragments) {
  struct Case {
    std::string name;
    std::string probe;
    std::vector<LavfiInputItem> inputs;
    std::string transform;
    std::string graph;
    std::string cmd;
  };
  const Case cases[] = {
      {"missing second audio stream: no si",
       mediaWithAudio(1),
       {file("a.mp4", 60)},
       "-map 0:v -map 0:a:1",
       "movie='a.mp4',trim=0:60,setpts=PTS-STARTPTS[out0];amovie='a.mp4',atrim=0:60,asetpts=PTS-STARTPTS[out1]",
       "-i \"a.mp4\"  -map 0:v -map 0:a:1"},
      {"failed probe: no si",
       "",
       {file("a.mp4", 60)},
       "-map 0:a:1",
       "amovie='a.mp4'[out0]",
       "-vn -i \"a.mp4\"  -map 0:a:1"},
      {"video alone",
       mediaWithAudio(1),
       {file("a.mp4", 60)},
       "-map 0:v",
       "movie='a.mp4'[out0]",
       "-an -i \"a.mp4\"  -map 0:v"},
      {"first audio option wins",
       mediaWithAudio(2),
       {file("a.mp4", 60)},
       "-map 0:a:1 -map 0:a:0 -map 0:v:0",
       "movie='a.mp4',trim=0:60,setpts=PTS-STARTPTS[out0];amovie='a.mp4':si=2,atrim=0:60,asetpts=PTS-STARTPTS[out1]",
       "-i \"a.mp4\"  -map 0:a:1 -map 0:a:0 -map 0:v:0"},
      {"plain 0:a takes no si",
       mediaWithAudio(2),
       {file("a.mp4", 60)},
       "-map 0:a",
       "amovie='a.mp4'[out0]",
       "-vn -i \"a.mp4\"  -map 0:a"},
      {"subtitle maps and -map words as values",
       mediaWithAudio(1),
       {file("a.mp4", 60)},
       "-map -map 0:s:0 -map",
       "",
       "-vn -an -i \"a.mp4\"  -map -map 0:s:0 -map"},
      {"long further audio: no padding",
       mediaWithAudio(1),
       {file("a.mp4", 60), file("long.mp3", 60)},
       "-map 0:v",
       "movie='a.mp4',trim=0:60,setpts=PTS-STARTPTS[out0];amovie='long.mp3',atrim=0:60,asetpts=PTS-STARTPTS[out1]",
       "-i \"a.mp4\"   -i \"long.mp3\" -map 0:v  -map 1:a"},
      {"two further audio files",
       mediaWithAudio(1),
       {file("a.mp4", 60), file("b.MP3", 90), file("c.wav", 5)},
       "-map 0:v",
       "movie='a.mp4',trim=0:60,setpts=PTS-STARTPTS[out0];amovie='b.MP3',atrim=0:60,asetpts=PTS-STARTPTS[out1]",
       "-i \"a.mp4\"   -i \"b.MP3\"  -i \"c.wav\" -map 0:v  -map 1:a -map 2:a"},
      {"two subtitle files",
       mediaWithAudio(1),
       {file("a.mp4", 60), file("s.srt", 0), file("t.ass", 0)},
       "-map 0:v -map 0:a",
       "movie='a.mp4',subtitles='s.srt',trim=0:60,setpts=PTS-STARTPTS[out0];"
       "amovie='a.mp4',atrim=0:60,asetpts=PTS-STARTPTS[out1]",
       "-i \"a.mp4\"   -i \"s.srt\"  -i \"t.ass\" -map 0:v -map 0:a  -map 1 -map 2"},
      {"further video and earlier graphs take no input number",
       mediaWithAudio(1),
       {file("a.mp4", 60), file("other.mp4", 60), {2, "movie='x'[out0]", "", 3}, file("b.mp3", 90)},
       "-map 0:v",
       "movie='a.mp4',trim=0:60,setpts=PTS-STARTPTS[out0];amovie='b.mp3',atrim=0:60,asetpts=PTS-STARTPTS[out1]",
       "-i \"a.mp4\"   -i \"b.mp3\" -map 0:v  -map 1:a"},
      {"prevOp stands before the further -i",
       mediaWithAudio(1),
       {file("a.mp4", 60, "-ss 3"), file("b.mp3", 90, "-itsoffset 2")},
       "-map 0:v",
       "movie='a.mp4',trim=0:60,setpts=PTS-STARTPTS[out0];amovie='b.mp3',atrim=0:60,asetpts=PTS-STARTPTS[out1]",
       "-i \"a.mp4\"  -itsoffset 2 -i \"b.mp3\" -map 0:v  -map 1:a"},
      {"further audio alone becomes the only output",
       mediaWithAudio(1),
       {file("a.mp4", 60), file("b.mp3", 90)},
       "",
       "amovie='b.mp3'[out0]",
       "-vn -i \"a.mp4\"   -i \"b.mp3\"   -map 1:a"},
      {"Windows path",
       mediaWithAudio(1),
       {file("C:\\v\\it's.mp4", 12.5)},
       "-map 0:v -map 0:a",
       "movie='C\\:/v/it'\\\\\\''s.mp4',trim=0:12.5,setpts=PTS-STARTPTS[out0];"
       "amovie='C\\:/v/it'\\\\\\''s.mp4',atrim=0:12.5,asetpts=PTS-STARTPTS[out1]",
       "-i \"C:\\v\\it's.mp4\"  -map 0:v -map 0:a"},
  };
  for (const Case& c : cases) {
    parser.labelCounter = 0;
    test::serveProbe(parser, c.probe);
    const LavfiResult result = run(c.inputs, c.transform);
    EXPECT_EQ(result.graph, c.graph) << c.name;
    EXPECT_EQ(result.cmd, c.cmd) << c.name;
    EXPECT_EQ(parser.durationOf(result.graph), result.graph.empty() ? 0.0 : c.inputs.front().duration) << c.name;
  }
}

// Without a request duration the chains stay untrimmed: trim=0:0 would leave
// nothing of the file.
TEST_F(LavfiTrackSelectionTest, NoDurationMeansNoTrim) {
  test::serveProbe(parser, mediaWithAudio(1));
  const LavfiResult result = run({file("a.mp4", 0), file("b.mp3", 0)}, "-map 0:v");
  EXPECT_EQ(result.graph, "movie='a.mp4'[out0];amovie='b.mp3'[out1]");
  EXPECT_EQ(parser.labelCounter, 0u);
}

// A subtitle file only burns in where there is a picture; without a video
// chain it still joins the fragment.
TEST_F(LavfiTrackSelectionTest, SubtitleWithoutVideoStaysOutOfTheGraph) {
  test::serveProbe(parser, mediaWithAudio(1));
  const LavfiResult result = run({file("a.mp4", 60), file("s.srt", 0)}, "-map 0:a");
  EXPECT_EQ(result.graph, "amovie='a.mp4'[out0]");
  EXPECT_EQ(result.cmd, "-vn -i \"a.mp4\"   -i \"s.srt\" -map 0:a  -map 1");
}

TEST_F(LavfiTrackSelectionTest, EarlierGraphPassesThroughUnchecked) {
  for (const std::string graph : {"movie='x',hflip[out0];amovie='x'[out1]", "no labels at all"}) {
    const LavfiResult result = run({{2, graph, "", 4.5}, file("b.mp3", 30)}, "-map 0:v");
    EXPECT_EQ(result.graph, graph);
    EXPECT_EQ(result.cmd, "");
    EXPECT_EQ(parser.durationOf(graph), 4.5);
  }
  EXPECT_EQ(parser.labelCounter, 0u);
  EXPECT_EQ(log.lines().size(), 0u) << log.joined();
}

TEST_F(LavfiTrackSelectionTest, ProcessLocalFileRefusesAnEarlierGraph) {
  const LavfiOperationDesc request{"-map 0:v", "", "trackSelection", {{2, "movie='x'[out0]", "", 1}}};
  std::string graph;
  std::string cmd = "kept";
  operation.processLocalFile(parser, request, graph, cmd);
  EXPECT_EQ(graph, "movie='x'[out0]");
  EXPECT_EQ(cmd, "kept");
  EXPECT_TRUE(log.has("[processLocalFile,51]:TrackSelection: find lavfi path, movie='x'[out0]")) << log.joined();
}

// A double quote in a path can stand neither in the graph nor in the quoted
// inputs of the fragment: the request is refused before any label is taken.
TEST_F(LavfiTrackSelectionTest, PathWithDoubleQuoteIsRefused) {
  test::serveProbe(parser, mediaWithAudio(1));
  const std::vector<std::vector<LavfiInputItem>> requests = {
      {file("/m/a.mp4", 60), file("/m/x\" -y \"z.mp3", 10)},
  };
  for (const auto& inputs : requests) {
    LogCapture caseLog;
    const LavfiResult result = run(inputs, "-map 0:v");
    EXPECT_TRUE(result.graph.empty()) << inputs.back().value;
    EXPECT_TRUE(result.cmd.empty());
    EXPECT_EQ(parser.labelCounter, 0u);
    EXPECT_TRUE(caseLog.has("[processLocalFile,51]:path cannot be written into a filter graph: " + inputs.back().value))
        << caseLog.joined();
  }
}

// End to end through the engine's registry: the second audio stream of a
// two-audio clip is the one the graph reads.
TEST(LavfiTrackSelectionRun, SelectsTheSecondAudioStream) {
  test::TempDir dir;
  const std::string clip = dir.file("two audio.mp4");
  const CapturedRun made = runAndCapture({test::ffmpegPath(),
                                          "-hide_banner",
                                          "-nostdin",
                                          "-y",
                                          "-f",
                                          "lavfi",
                                          "-i",
                                          "testsrc=size=160x120:rate=25:d=1",
                                          "-f",
                                          "lavfi",
                                          "-i",
                                          "sine=frequency=440:sample_rate=22050:d=1",
                                          "-f",
                                          "lavfi",
                                          "-i",
                                          "sine=frequency=880:sample_rate=48000:d=1",
                                          "-filter_complex",
                                          "[2:a]aformat=channel_layouts=stereo[st]",
                                          "-map",
                                          "0:v",
                                          "-map",
                                          "1:a",
                                          "-map",
                                          "[st]",
                                          "-c:v",
                                          "mpeg4",
                                          "-c:a",
                                          "aac",
                                          clip},
                                         true);
  ASSERT_EQ(made.exitCode, 0) << made.output;

  test::RealEngine engine(dir.path());
  const test::ProcessOutcome outcome = engine.process("TrackSelection", {{1, clip, "", 1}}, "-map 0:v -map 0:a:1");
  ASSERT_EQ(outcome.errorCode, 0) << outcome.reply;
  EXPECT_EQ(outcome.graph, "movie='" + clip + "',trim=0:1,setpts=PTS-STARTPTS[out0];amovie='" + clip +
                               "':si=2,atrim=0:1,asetpts=PTS-STARTPTS[out1]");
  EXPECT_EQ(outcome.fileNums, 1);
  EXPECT_EQ(engine.durationOf(outcome.graph), 1.0);

  const std::string out = dir.file("out.mp4");
  const CapturedRun run = test::runGraph(outcome.graph, {"[out0]", "[out1]"}, out);
  ASSERT_EQ(run.exitCode, 0) << run.output;
  const test::ProbeInfo info = test::probe(out);
  ASSERT_TRUE(info.ok) << info.error;
  ASSERT_EQ(info.count("audio"), 1);
  ASSERT_EQ(info.count("video"), 1);
  for (const test::ProbeStream& stream : info.streams) {
    if (stream.codecType != "audio") continue;
    EXPECT_EQ(stream.sampleRate, 48000);
    EXPECT_EQ(stream.channels, 2);
  }
  EXPECT_NEAR(info.duration, 1.0, 0.2);
}

// A short mp3 added to a video-only clip is padded to the clip's length.
TEST(LavfiTrackSelectionRun, ShortMp3IsPaddedToTheVideoLength) {
  test::TempDir dir;
  const std::string clip = dir.file("clip.mp4");
  test::ClipSpec video;
  video.seconds = 2.0;
  video.audio = false;
  test::makeClip(clip, video);
  const std::string song = dir.file("song.mp3");
  test::ClipSpec audio;
  audio.seconds = 0.5;
  audio.video = false;
  test::makeClip(song, audio);

  test::RealEngine engine(dir.path());
  const test::ProcessOutcome outcome =
      engine.process("trackSelection", {{1, clip, "", 2}, {1, song, "", 0.5}}, "-map 0:v");
  ASSERT_EQ(outcome.errorCode, 0) << outcome.reply;
  EXPECT_NE(outcome.graph.find("anullsrc=cl=stereo:r=44100:duration=2.5[a1]"), std::string::npos) << outcome.graph;

  const std::string out = dir.file("out.mp4");
  const CapturedRun run = test::runGraph(outcome.graph, {"[out0]", "[out1]"}, out);
  ASSERT_EQ(run.exitCode, 0) << run.output;
  const test::ProbeInfo info = test::probe(out);
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_EQ(info.count("video"), 1);
  EXPECT_EQ(info.count("audio"), 1);
  EXPECT_NEAR(info.duration, 2.0, 0.15);
  // The audio stream itself reaches the clip's end.
  const CapturedRun audioLength =
      runAndCapture({test::ffprobePath(), "-v", "error", "-select_streams", "a:0", "-show_entries", "stream=duration",
                     "-of", "default=noprint_wrappers=1:nokey=1", out},
                    false);
  ASSERT_EQ(audioLength.exitCode, 0);
  EXPECT_NEAR(std::stod(audioLength.output), 2.0, 0.15) << audioLength.output;
}

}  // namespace
}  // namespace qel
