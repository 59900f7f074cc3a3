// The "cut" operation: its span texts, the source graph of a file, the cut of
// an earlier graph (plain, shifted, behind a speed change), its refusals, and
// real ffmpeg runs of the graphs it writes.
#include "operations/lavfi_cutter.h"

#include <gtest/gtest.h>

#include <rapidjson/document.h>

#include <optional>
#include <string>
#include <vector>

#include "commands/filter_text.h"
#include "common/subprocess.h"
#include "operations/lavfi_speed_adjuster.h"
#include "support/operation_test_helpers.h"
#include "support/test_support.h"
#include "operations/operation_registry.h"

namespace qel {
namespace {

using test::LogCapture;

LavfiInputItem file(const std::string& path, double duration = 20) { return {1, path, "", duration}; }
LavfiInputItem graphInput(const std::string& graph, double duration = 30) { return {2, graph, "", duration}; }

class CutTest : public test::OperationTest<LavfiCutter> {
 protected:
  LavfiCutter& cutter = operation;
};

TEST_F(CutTest, NameIsCut) { EXPECT_STREQ(cutter.name(), "cut"); }

TEST_F(CutTest, ReadsTheSpanFromSsAndTo) {
  struct Case {
    std::string transform;
    TimeValue start;
    TimeValue end;
  };
  const Case cases[] = {
      {"-ss 5 -to 15", {5, "5"}, {15, "15"}},
      {"-ss 00:01:05 -to 00:01:20.5", {65, "65"}, {80.5, "80.5"}},
      {"-ss 65 -to 80.5", {65, "65"}, {80.5, "80.5"}},
      {"-ss 00:00:05 -to 00:00:12.5", {5, "5"}, {12.5, "12.5"}},
      {"-to 10", {0, "0"}, {10, "10"}},  // a missing start is 0, never an empty text
      {"-ss 5", {5, "5"}, {0, ""}},
      {"-ss 1 -ss 2 -to 3 -to 4 -c:v copy", {1, "1"}, {3, "3"}},  // the first of each counts
  };
  for (const Case& c : cases) {
    TimeValue start;
    TimeValue end;
    LavfiCutter::readRange(c.transform, start, end);
    EXPECT_EQ(start, c.start) << c.transform;
    EXPECT_EQ(end, c.end) << c.transform;
  }
}

TEST_F(CutTest, FileGraphIsTrimmedToTheSpan) {
  test::serveProbe(parser, test::fakeMedia(20, 20));
  const LavfiResult result = run({file("C:\\v\\a.mp4")}, "-ss 5 -to 15");
  EXPECT_EQ(result.graph,
            "movie='C\\:/v/a.mp4',trim=5:15,setpts=PTS-STARTPTS[out0];"
            "amovie='C\\:/v/a.mp4',atrim=5:15,asetpts=PTS-STARTPTS[out1]");
  EXPECT_EQ(parser.durationOf(result.graph), 10.0);
  EXPECT_EQ(result.inputFiles, std::vector<std::string>{"C:\\v\\a.mp4"});
  EXPECT_TRUE(result.cmd.empty());
}

TEST_F(CutTest, FileGraphCases) {
  struct Case {
    const char* name;
    std::string path;
    std::string probe;
    std::string transform;
    std::string graph;
    double stored;
  };
  const std::string withCover = test::fakeProbeJson({{"audio", "mp3", "30"}, {"video", "mjpeg", "30"}});
  const std::string subtitles =
      test::fakeProbeJson({{"video", "h264", "20"}, {"audio", "aac", "20"}, {"subtitle", "mov_text", "20"}});
  const Case cases[] = {
      {"clock texts", "D:\\v\\b.mkv", test::fakeMedia(20, 20), "-ss 00:00:05 -to 00:00:12.5",
       "movie='D\\:/v/b.mkv',trim=5:12.5,setpts=PTS-STARTPTS[out0];"
       "amovie='D\\:/v/b.mkv',atrim=5:12.5,asetpts=PTS-STARTPTS[out1]",
       7.5},
      {"-to alone starts at 0", "/m/a.mp4", test::fakeMedia(20, 20), "-to 10",
       "movie='/m/a.mp4',trim=0:10,setpts=PTS-STARTPTS[out0];amovie='/m/a.mp4',atrim=0:10,asetpts=PTS-STARTPTS[out1]",
       10},
      {"empty span is accepted", "/m/a.mp4", test::fakeMedia(20, 20), "-ss 7 -to 7",
       "movie='/m/a.mp4',trim=7:7,setpts=PTS-STARTPTS[out0];amovie='/m/a.mp4',atrim=7:7,asetpts=PTS-STARTPTS[out1]", 0},
      {"mp3 cover art is no video", "/m/song.mp3", withCover, "-ss 1 -to 2",
       "amovie='/m/song.mp3',atrim=1:2,asetpts=PTS-STARTPTS[out0]", 1},
      {"gif has no video extension", "/m/a.gif", test::fakeMedia(5, 0), "-ss 1 -to 2", "", 1},
      {"video only", "/m/a.MP4", test::fakeMedia(9, 0), "-ss 1 -to 2",
       "movie='/m/a.MP4',trim=1:2,setpts=PTS-STARTPTS[out0]", 1},
      {"subtitle clause before the trim", "/m/s.mp4", subtitles, "-ss 1 -to 2",
       "movie='/m/s.mp4',subtitles='/m/s.mp4',trim=1:2,setpts=PTS-STARTPTS[out0];"
       "amovie='/m/s.mp4',atrim=1:2,asetpts=PTS-STARTPTS[out1]",
       1},
  };
  for (const Case& c : cases) {
    test::serveProbe(parser, c.probe);
    const LavfiResult result = run({file(c.path)}, c.transform);
    EXPECT_EQ(result.graph, c.graph) << c.name;
    EXPECT_EQ(parser.durationOf(result.graph), result.graph.empty() ? 0.0 : c.stored) << c.name;
  }
}

TEST_F(CutTest, EarlierGraphCases) {
  struct Case {
    const char* name;
    std::string graph;
    std::string transform;
    std::string result;
  };
  const Case cases[] = {
      {"no trim: trims at the labels", "movie='x',hflip[out0]", "-ss 5 -to 15",
       "movie='x',hflip,trim=5:15,setpts=PTS-STARTPTS[out0]"},
      {"no trim, both streams", "movie='x',hflip[out0];amovie='x',volume=2[out1]", "-ss 5 -to 15",
       "movie='x',hflip,trim=5:15,setpts=PTS-STARTPTS[out0];amovie='x',volume=2,atrim=5:15,asetpts=PTS-STARTPTS[out1]"},
      {"audio only", "amovie='a.mp3',volume=2[out0]", "-ss 5 -to 15",
       "amovie='a.mp3',volume=2,atrim=5:15,asetpts=PTS-STARTPTS[out0]"},
      {"shift of an earlier trim",
       "movie='C\\:/a.mp4',trim=10:40,setpts=PTS-STARTPTS[out0];amovie='C\\:/"
       "a.mp4',atrim=10:40,asetpts=PTS-STARTPTS[out1]",
       "-ss 5 -to 15",
       "movie='C\\:/a.mp4',trim=15:25,setpts=PTS-STARTPTS[out0];amovie='C\\:/"
       "a.mp4',atrim=15:25,asetpts=PTS-STARTPTS[out1]"},
      {"shift of an audio-only trim", "amovie='a.mp3',atrim=10:40,asetpts=PTS-STARTPTS[out0]", "-ss 0.5 -to 1.25",
       "amovie='a.mp3',atrim=10.5:11.25,asetpts=PTS-STARTPTS[out0]"},
      {"the last trim of the chain is shifted",
       "movie='x',trim=1:100,setpts=PTS-STARTPTS,trim=2:50,setpts=PTS-STARTPTS[out0]", "-ss 1 -to 3",
       "movie='x',trim=1:100,setpts=PTS-STARTPTS,trim=3:5,setpts=PTS-STARTPTS[out0]"},
      // Behind a speed change the span counts on the changed time line, and the
      // output's clock is reset as for a plain cut.
      {"behind a speed change",
       "movie='x',trim=0:30,setpts=PTS-STARTPTS,setpts=PTS/"
       "2[out0];amovie='x',atrim=0:30,asetpts=PTS-STARTPTS,atempo=2[out1]",
       "-ss 5 -to 15",
       "movie='x',trim=0:30,setpts=PTS-STARTPTS,setpts=PTS/2,trim=5:15,setpts=PTS-STARTPTS[out0];"
       "amovie='x',atrim=0:30,asetpts=PTS-STARTPTS,atempo=2,atrim=5:15,asetpts=PTS-STARTPTS[out1]"},
      {"behind a setpts speed change without atempo",
       "movie='x',trim=0:30,setpts=PTS-STARTPTS,setpts=0.5*PTS[out0];amovie='x',atrim=0:30,asetpts=PTS-STARTPTS[out1]",
       "-ss 00:00:05 -to 00:00:06.5",
       "movie='x',trim=0:30,setpts=PTS-STARTPTS,setpts=0.5*PTS,trim=5:6.5,setpts=PTS-STARTPTS[out0];"
       "amovie='x',atrim=0:30,asetpts=PTS-STARTPTS,atrim=5:6.5,asetpts=PTS-STARTPTS[out1]"},
      {"audio-only speed change", "amovie='a.mp3',atrim=0:30,asetpts=PTS-STARTPTS,atempo=2[out0]", "-ss 1 -to 2",
       "amovie='a.mp3',atrim=0:30,asetpts=PTS-STARTPTS,atempo=2,atrim=1:2,asetpts=PTS-STARTPTS[out0]"},
  };
  for (const Case& c : cases) {
    const LavfiResult result = run({graphInput(c.graph)}, c.transform);
    EXPECT_EQ(result.graph, c.result) << c.name;
    TimeValue start;
    TimeValue end;
    LavfiCutter::readRange(c.transform, start, end);
    EXPECT_DOUBLE_EQ(parser.durationOf(result.graph), end.seconds - start.seconds) << c.name;
  }
  EXPECT_EQ(log.joined(), "");
}

TEST_F(CutTest, SecondCutShiftsAgain) {
  const LavfiResult first = run({graphInput("movie='C\\:/a.mp4',trim=10:40,setpts=PTS-STARTPTS[out0];"
                                            "amovie='C\\:/a.mp4',atrim=10:40,asetpts=PTS-STARTPTS[out1]")},
                                "-ss 5 -to 15");
  const LavfiResult second = run({graphInput(first.graph)}, "-ss 1 -to 2");
  EXPECT_EQ(second.graph,
            "movie='C\\:/a.mp4',trim=16:17,setpts=PTS-STARTPTS[out0];"
            "amovie='C\\:/a.mp4',atrim=16:17,asetpts=PTS-STARTPTS[out1]");
  EXPECT_EQ(parser.durationOf(second.graph), 1.0);
  EXPECT_EQ(second.inputFiles, std::vector<std::string>{"C:/a.mp4"});
}

TEST_F(CutTest, UnshiftableTrimIsLoggedAndCutAtTheLabels) {
  const std::string earlier = "movie='x',trim=10:40[out0]";
  const LavfiResult result = run({graphInput(earlier)}, "-ss 5 -to 15");
  EXPECT_TRUE(log.has("[process,55]:Failed to merge:movie='x',trim=10:40[out0] and -ss 5 -to 15")) << log.joined();
  // The cut is still made, never reported as done while the earlier graph
  // passes unchanged; the clock is reset first, as the earlier trim left it at 10.
  EXPECT_EQ(result.graph, "movie='x',trim=10:40,setpts=PTS-STARTPTS,trim=5:15,setpts=PTS-STARTPTS[out0]");
  EXPECT_EQ(parser.durationOf(result.graph), 10.0);

  // A trim only in the audio chain cannot be shifted either: both streams are
  // cut at their labels.
  const LavfiResult both = run({graphInput("movie='x',hflip[out0];amovie='x',atrim=10:40[out1]")}, "-ss 5 -to 15");
  EXPECT_EQ(both.graph,
            "movie='x',hflip,setpts=PTS-STARTPTS,trim=5:15,setpts=PTS-STARTPTS[out0];"
            "amovie='x',atrim=10:40,asetpts=PTS-STARTPTS,atrim=5:15,asetpts=PTS-STARTPTS[out1]");
}

TEST_F(CutTest, Refusals) {
  struct Case {
    const char* name;
    std::vector<LavfiInputItem> inputs;
    std::string probe;
    std::string transform;
    std::string line;
  };
  const Case cases[] = {
      {"no end", {file("/m/a.mp4")}, test::fakeMedia(20, 20), "-ss 5", "[process,35]:endTime < startTime, -ss 5"},
      {"start after end",
       {file("/m/a.mp4")},
       test::fakeMedia(20, 20),
       "-ss 00:00:09 -to 8",
       "[process,35]:endTime < startTime, -ss 00:00:09 -to 8"},
      {"neither start nor end",
       {file("/m/a.mp4")},
       test::fakeMedia(20, 20),
       "-c:v copy",
       "[process,36]:invalid time range: -c:v copy"},
      {"graph syntax in a time",
       {file("/m/a.mp4")},
       test::fakeMedia(20, 20),
       "-ss 1 -to 2[x];movie=y",
       "[process,36]:invalid time range: -ss 1 -to 2[x];movie=y"},
  };
  for (const Case& c : cases) {
    test::serveProbe(parser, c.probe);
    const std::size_t before = parser.durations.size();
    const LavfiResult result = run(c.inputs, c.transform);
    EXPECT_EQ(result.graph, "") << c.name;
    EXPECT_EQ(parser.durations.size(), before) << c.name << ": nothing is stored";
    EXPECT_TRUE(log.has(c.line)) << c.name << "\n" << log.joined();
  }
}

TEST_F(CutTest, LongEarlierGraphIsScannedWithoutRecursion) {
  std::string chain = "movie='x'";
  for (int i = 0; i < 40000; ++i) chain += ",hflip";
  const LavfiResult result = run({graphInput(chain + ",trim=10:40,setpts=PTS-STARTPTS[out0]")}, "-ss 1 -to 2");
  EXPECT_EQ(result.graph, chain + ",trim=11:12,setpts=PTS-STARTPTS[out0]");
}

TEST_F(CutTest, DispatchedByTheParserUnderItsName) {
  test::serveProbe(parser, test::fakeMedia(20, 20));
  LavfiOperationDesc request{"-ss 1 -to 2", "", "CUT", {file("/m/a.mp4")}};
  LavfiParseResult reply;
  parser.doParse(reply, request);
  EXPECT_EQ(
      reply.graph,
      "movie='/m/a.mp4',trim=1:2,setpts=PTS-STARTPTS[out0];amovie='/m/a.mp4',atrim=1:2,asetpts=PTS-STARTPTS[out1]");
  EXPECT_EQ(reply.fileNums, 1);
}

// Real runs: the graphs go through the real ffmpeg and the outputs are
// measured with ffprobe.
class CutRun : public ::testing::Test {
 protected:
  void SetUp() override {
    test::probeWithFfprobe(parser);
    test::ClipSpec recipe = test::smallClip(20, 5);
    test::makeClip(clip, recipe);
  }

  LavfiResult process(const LavfiBase& operation, const std::string& description, LavfiInputItem input,
                      const std::string& transform) {
    LavfiOperationDesc request{transform, "", description, {std::move(input)}};
    return operation.process(parser, request);
  }

  // Runs the graph into `out` and returns the ffprobe summary.
  test::ProbeInfo render(const std::string& graph, const std::string& out) {
    const CapturedRun run = test::runGraph(graph, {"[out0]", "[out1]"}, out);
    EXPECT_EQ(run.exitCode, 0) << graph << "\n" << run.output;
    return test::probe(out);
  }

  test::TempDir dir;
  std::string clip = dir.file("clip.mp4");
  LavfiParser parser{makeOperationRegistry()};
};

// The start time of the first stream of a kind, from ffprobe's JSON; -1 when absent.
double streamStart(const test::ProbeInfo& info, const std::string& codecType) {
  rapidjson::Document doc;
  doc.Parse(info.json.c_str());
  if (!doc.IsObject() || !doc.HasMember("streams") || !doc["streams"].IsArray()) return -1;
  for (const auto& stream : doc["streams"].GetArray()) {
    if (stream.IsObject() && stream.HasMember("codec_type") && stream["codec_type"].IsString() &&
        codecType == stream["codec_type"].GetString() && stream.HasMember("start_time") &&
        stream["start_time"].IsString()) {
      return std::strtod(stream["start_time"].GetString(), nullptr);
    }
  }
  return -1;
}

TEST_F(CutRun, FiveToFifteenOfTwentySecondsGivesTen) {
  const LavfiResult cut = process(LavfiCutter(), "cut", file(clip, 20), "-ss 5 -to 15");
  ASSERT_FALSE(cut.graph.empty());
  const test::ProbeInfo info = render(cut.graph, dir.file("cut.mp4"));
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_EQ(info.count("video"), 1);
  EXPECT_EQ(info.count("audio"), 1);
  EXPECT_NEAR(info.duration, 10.0, 0.1);
}

TEST_F(CutRun, CutOfAnUnshiftableTrimCountsOnTheEarlierResult) {
  // The earlier trim keeps its clock at 2 (no reset behind it); the cut 1-11
  // of that 16-second result must give 10 seconds, not the 9 of 2-11.
  const std::optional<std::string> escaped = escapeFilterPath(clip);
  ASSERT_TRUE(escaped.has_value());
  const std::string earlier = "movie='" + *escaped + "',trim=2:18[out0]";
  const LavfiResult cut = process(LavfiCutter(), "cut", {2, earlier, "", 16}, "-ss 1 -to 11");
  const std::string out = dir.file("recut.mp4");
  const CapturedRun run = test::runGraph(cut.graph, {"[out0]"}, out);
  ASSERT_EQ(run.exitCode, 0) << cut.graph << "\n" << run.output;
  const test::ProbeInfo info = test::probe(out);
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_NEAR(info.duration, 10.0, 0.1) << cut.graph;
}

TEST_F(CutRun, CutWithoutStartRunsFromZero) {
  const LavfiResult cut = process(LavfiCutter(), "cut", file(clip, 20), "-to 3");
  const test::ProbeInfo info = render(cut.graph, dir.file("cut.mp4"));
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_NEAR(info.duration, 3.0, 0.1);
}

TEST_F(CutRun, CutAfterDoubleSpeedCountsOnTheFastTimeLine) {
  // setpts keeps the stream's declared rate, so the encoder drops pictures to
  // it and the last one lasts one frame: a 25 fps clip keeps that within 0.1 s.
  test::ClipSpec recipe = test::smallClip(20, 25);
  test::makeClip(clip, recipe);
  const LavfiResult fast =
      process(LavfiSpeedAdjuster(), "speedAdjuster", file(clip, 20), "-filter_complex \"setpts=0.5*PTS;atempo=2\"");
  ASSERT_FALSE(fast.graph.empty());
  EXPECT_EQ(parser.durationOf(fast.graph), 10.0);
  const LavfiResult cut = process(LavfiCutter(), "cut", graphInput(fast.graph, 10), "-ss 2 -to 6");
  EXPECT_EQ(parser.durationOf(cut.graph), 4.0);
  const test::ProbeInfo info = render(cut.graph, dir.file("fastcut.mp4"));
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_NEAR(info.duration, 4.0, 0.1);
  EXPECT_NEAR(streamStart(info, "video"), 0.0, 0.05);
  EXPECT_NEAR(streamStart(info, "audio"), 0.0, 0.05);
}

}  // namespace
}  // namespace qel
