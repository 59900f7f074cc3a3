// The "addSubtitleToFile" operation: fragment and graph texts for file bases
// and earlier steps, path escaping and refusals, and real ffmpeg runs:
// subtitles burnt into the picture (graph and fragment) and added as a
// stream (mov_text in .mp4, srt in .mkv).
#include "operations/lavfi_add_subtitle_to_file.h"

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

const std::string kBase = "D:\\media\\a.mp4";
const std::string kSubtitle = "D:\\media\\a.srt";
const std::string kSource =
    "movie='D\\:/media/a.mp4',trim=0:10,setpts=PTS-STARTPTS[out0];"
    "amovie='D\\:/media/a.mp4',atrim=0:10,asetpts=PTS-STARTPTS[out1]";
const std::string kBurnt =
    "movie='D\\:/media/a.mp4',trim=0:10,setpts=PTS-STARTPTS,subtitles='D\\:/media/a.srt'[out0];"
    "amovie='D\\:/media/a.mp4',atrim=0:10,asetpts=PTS-STARTPTS[out1]";

using AddSubtitleTest = test::OperationTest<LavfiAddSubtitleToFile>;

TEST_F(AddSubtitleTest, FileBase) {
  struct Case {
    bool withSubtitle;
    std::string transform;
    std::string cmd;
    std::string graph;
  };
  const Case cases[] = {
      {true, "-map 0:v -map 0:a", " -i \"D:\\media\\a.mp4\" -i \"D:\\media\\a.srt\" -map 0:v -map 0:a -map 1", kSource},
      {true, "subtitles;-map 0:v -map 0:a",
       " -i \"D:\\media\\a.mp4\" -filter_complex \"[0:v]subtitles='D\\:/media/a.srt'\"  -map 0:a", kBurnt},
      {true, "subtitles", " -i \"D:\\media\\a.mp4\" -filter_complex \"[0:v]subtitles='D\\:/media/a.srt'\" ", kBurnt},
      // A video label of the map options feeds the filter, without a second pair of brackets.
      {true, "subtitles;-map [v2] -map 0:a",
       " -i \"D:\\media\\a.mp4\" -filter_complex \"[v2]subtitles='D\\:/media/a.srt'\"  -map 0:a", kBurnt},
      {false, "-c:s mov_text", " -i \"D:\\media\\a.mp4\" -c:s mov_text", kSource},
      // Without maps of its own the base goes in whole next to the subtitle stream.
      {true, "", " -i \"D:\\media\\a.mp4\" -i \"D:\\media\\a.srt\" -map 0 -map 1", kSource},
      {true, "-c:s mov_text", " -i \"D:\\media\\a.mp4\" -i \"D:\\media\\a.srt\" -c:s mov_text -map 0 -map 1", kSource},
  };
  test::serveProbe(parser, test::fakeMedia(10, 10));
  for (const Case& c : cases) {
    std::vector<LavfiInputItem> inputs{file(kBase)};
    if (c.withSubtitle) inputs.push_back(file(kSubtitle));
    const LavfiResult result = run(inputs, c.transform);
    EXPECT_EQ(result.cmd, c.cmd) << c.transform;
    EXPECT_EQ(result.graph, c.graph) << c.transform;
    EXPECT_EQ(result.inputFiles, std::vector<std::string>{kBase});
    EXPECT_EQ(parser.durationOf(result.graph), 10.0);
  }
}

TEST_F(AddSubtitleTest, SubtitlePathsAreEscapedOrRefused) {
  test::serveProbe(parser, test::fakeMedia(10, 10));
  LavfiResult result = run({file("/m/a.mp4"), file("/m/it's: a=b.srt")}, "subtitles");
  EXPECT_EQ(result.cmd, " -i \"/m/a.mp4\" -filter_complex \"[0:v]subtitles='/m/it'\\\\\\''s\\: a\\=b.srt'\" ");
  for (const std::string transform : {"subtitles", "-map 0:v"}) {
    LogCapture caseLog;
    result = run({file("/m/a.mp4"), file("/m/a\".srt")}, transform);
    EXPECT_TRUE(result.graph.empty()) << transform;
    EXPECT_TRUE(result.cmd.empty()) << transform;
    EXPECT_NE(caseLog.joined().find(kUnwritablePathMessage), std::string::npos) << caseLog.joined();
  }
}

class AddSubtitleEarlierTest : public AddSubtitleTest {
 protected:
  const std::string earlier = "movie='a.mp4'[out0];amovie='a.mp4'[out1]";
  void recordFragment(const std::string& cmd) { parser.outputs[earlier] = LavfiOutputRecord{0, "", cmd}; }
};

TEST_F(AddSubtitleEarlierTest, RecordedFragments) {
  struct Case {
    std::string recorded;
    std::string transform;
    std::string cmd;
  };
  const Case cases[] = {
      {"-i \"a.mp4\" -filter_complex \"[0:v]scale=1280:720[v]\" -map [v]", "subtitles",
       "-i \"a.mp4\" -filter_complex \"[0:v]scale=1280:720,subtitles='s.srt'[v]\" -map [v]"},
      {"-i \"a.mp4\" -filter_complex \"[0:v]scale=1280:720[v]\" -map [v]", "",
       "-i \"a.mp4\" -i \"s.srt\" -filter_complex \"[0:v]scale=1280:720[v]\" -map [v] -map 1"},
      // A graph without a video filter: a chain of its own reads the mapped video.
      {"-i \"a.mp4\" -filter_complex \"[0:a]volume=2[a1]\" -map 0:v -map [a1]", "subtitles",
       "-i \"a.mp4\" -filter_complex \"[0:a]volume=2[a1];[0:v]subtitles='s.srt'\"  -map [a1]"},
      // No graph: the filter takes the video map's place, or stands alone.
      {"-i \"a.mp4\" -map 0:v -map 0:a", "subtitles",
       "-i \"a.mp4\" -filter_complex \"[0:v]subtitles='s.srt'\"  -map 0:a"},
      {"-i \"a.mp4\"", "subtitles", "-i \"a.mp4\" -filter_complex \"[0:v]subtitles='s.srt'\""},
      {"-i \"a.mp4\" -map 0:v -map 0:a", "", "-i \"a.mp4\" -i \"s.srt\" -map 0:v -map 0:a -map 1"},
      // A fragment that names no streams keeps them all next to the subtitle.
      {"-i \"a.mp4\"", "", "-i \"a.mp4\" -i \"s.srt\" -map 0 -map 1"},
      // Its graph's unlabelled outputs reach the file anyway; the base's
      // streams of the kinds the graph does not make are mapped beside them.
      {"-i \"a.mp4\" -filter_complex \"scale=166:126\"", "",
       "-i \"a.mp4\" -i \"s.srt\" -filter_complex \"scale=166:126\" -map 0:a? -map 1"},
      {"-i \"a.mp4\" -filter_complex \"[0:a]volume=2\"", "",
       "-i \"a.mp4\" -i \"s.srt\" -filter_complex \"[0:a]volume=2\" -map 0:v? -map 1"},
      {"-i \"a.mp4\" -vn -map 0:a", "subtitles", "-i \"a.mp4\" -vn -map 0:a"},
      {"-i \"a.mp4\" -vn -map 0:a", "", "-i \"a.mp4\" -vn -map 0:a"},
  };
  for (const Case& c : cases) {
    recordFragment(c.recorded);
    const LavfiResult result = run({graphInput(earlier), file("s.srt")}, c.transform);
    EXPECT_EQ(result.cmd, c.cmd) << c.recorded;
  }
}

TEST_F(AddSubtitleEarlierTest, FragmentsWithoutAVideoToBurnIntoAreRefused) {
  for (const std::string recorded :
       {"-i \"a.mp4\" -map 0:a", "-i \"a.mp4\" -filter_complex \"[0:a]volume=2\" -map 0:a", "-i \"a.mp4\" -map"}) {
    LogCapture caseLog;
    recordFragment(recorded);
    const LavfiResult result = run({graphInput(earlier), file("s.srt")}, "subtitles");
    EXPECT_TRUE(result.graph.empty()) << recorded;
    EXPECT_TRUE(result.cmd.empty()) << recorded;
    EXPECT_NE(caseLog.joined().find("addSubtitleToFile:"), std::string::npos) << recorded;
  }
}

TEST_F(AddSubtitleEarlierTest, GraphsWithoutRecordedFragment) {
  LavfiResult result = run({graphInput(earlier, 4), file("s.srt")}, "subtitles");
  EXPECT_EQ(result.graph, "movie='a.mp4',subtitles='s.srt'[out0];amovie='a.mp4'[out1]");
  EXPECT_EQ(result.cmd, "");
  EXPECT_EQ(parser.durationOf(result.graph), 4.0);

  result = run({graphInput(earlier), file("s.srt")}, "");
  EXPECT_EQ(result.graph, earlier);
  EXPECT_EQ(result.cmd, "-i \"s.srt\" -filter_complex \"movie='a.mp4';amovie='a.mp4'\" -map 0");

  // No second input: the graph passes.
  result = run({graphInput(earlier)}, "subtitles");
  EXPECT_EQ(result.graph, earlier);
  EXPECT_EQ(result.cmd, "");

  // No output labels: logged, and the result is built all the same.
  result = run({graphInput("movie='a.mp4'[v1]"), file("s.srt")}, "subtitles");
  EXPECT_EQ(result.graph, "movie='a.mp4'[v1]");
  EXPECT_TRUE(log.has("[processLavfi,133]:no audio, no video stream: movie='a.mp4'[v1]"));
}

// Real runs on a black clip, so burnt-in text shows as bright pixels.
class AddSubtitleRun : public ::testing::Test {
 protected:
  void SetUp() override {
    const CapturedRun made =
        test::runFfmpeg({"-f", "lavfi", "-i", "color=black:s=160x120:d=2:r=25", "-f", "lavfi", "-i", "sine=d=2",
                         "-shortest", "-c:v", "libx264", "-pix_fmt", "yuv420p", "-c:a", "aac"},
                        clip);
    ASSERT_EQ(made.exitCode, 0) << made.output;
    test::writeFile(subtitle, "1\n00:00:00,000 --> 00:00:02,000\nHELLO WORLD\n\n");
    clipBytes = test::readFile(clip);
    subtitleBytes = test::readFile(subtitle);
    test::serveProbe(parser, test::probe(clip).json);
  }
  void TearDown() override {
    EXPECT_EQ(test::readFile(clip), clipBytes);
    EXPECT_EQ(test::readFile(subtitle), subtitleBytes);
  }

  LavfiResult process(std::vector<LavfiInputItem> inputs, const std::string& transform) {
    LavfiOperationDesc desc{transform, "", "addSubtitleToFile", std::move(inputs)};
    return LavfiAddSubtitleToFile().process(parser, desc);
  }

  // One video with the text burnt in, its audio, and no subtitle stream.
  void expectBurntIn(const std::string& out) {
    const test::ProbeInfo info = test::probe(out);
    ASSERT_TRUE(info.ok) << info.error;
    EXPECT_EQ(info.count("video"), 1) << out;
    EXPECT_EQ(info.count("audio"), 1) << out;
    EXPECT_EQ(info.count("subtitle"), 0) << out;
    EXPECT_GT(test::brightestPixel(out, 1.0, dir.file("frame.gray")), 150) << out;
  }
  void expectStream(const std::string& out, const std::string& codec) {
    const test::ProbeInfo info = test::probe(out);
    ASSERT_TRUE(info.ok) << info.error;
    EXPECT_EQ(info.count("video"), 1) << out;
    EXPECT_EQ(info.count("audio"), 1) << out;
    ASSERT_EQ(info.count("subtitle"), 1) << out;
    EXPECT_EQ(info.codecNames.back(), codec) << out;
    EXPECT_LT(test::brightestPixel(out, 1.0, dir.file("frame.gray")), 60) << out;
  }

  test::TempDir dir;
  const std::string clip = dir.file("black clip.mp4");
  const std::string subtitle = dir.file("it's: sub=1.srt");
  std::string clipBytes;
  std::string subtitleBytes;
  LavfiParser parser{makeOperationRegistry()};
};

TEST_F(AddSubtitleRun, BurntInThroughGraphAndFragment) {
  const LavfiResult result = process({file(clip, 2), file(subtitle)}, "subtitles;-map 0:v -map 0:a");
  const std::string fromGraph = dir.file("graph.mp4");
  const std::string fromFragment = dir.file("fragment.mp4");
  const CapturedRun graphRun = test::runGraph(result.graph, fromGraph);
  ASSERT_EQ(graphRun.exitCode, 0) << result.graph << "\n" << graphRun.output;
  expectBurntIn(fromGraph);
  const CapturedRun fragmentRun = test::runFragment(result.cmd, fromFragment);
  ASSERT_EQ(fragmentRun.exitCode, 0) << result.cmd << "\n" << fragmentRun.output;
  expectBurntIn(fromFragment);
}

TEST_F(AddSubtitleRun, BurntIntoAnEarlierGraph) {
  const LavfiResult source = process({file(clip, 2)}, "");
  const LavfiResult result = process({graphInput(source.graph, 2), file(subtitle)}, "subtitles");
  const std::string out = dir.file("graph.mp4");
  const CapturedRun run = test::runGraph(result.graph, out);
  ASSERT_EQ(run.exitCode, 0) << result.graph << "\n" << run.output;
  expectBurntIn(out);
}

TEST_F(AddSubtitleRun, AddedAsAStream) {
  struct Case {
    std::string transform;
    std::string out;
    std::vector<std::string> options;
    std::string codec;
  };
  const Case cases[] = {
      {"-map 0:v -map 0:a", "stream.mp4", {"-c:s", "mov_text"}, "mov_text"},
      {"-map 0:v -map 0:a", "stream.mkv", {"-c:s", "srt"}, "subrip"},
      {"", "plain.mkv", {"-c:s", "srt"}, "subrip"},
  };
  for (const Case& c : cases) {
    const LavfiResult result = process({file(clip, 2), file(subtitle)}, c.transform);
    const std::string out = dir.file(c.out);
    const CapturedRun run = test::runFragment(result.cmd, out, c.options);
    ASSERT_EQ(run.exitCode, 0) << result.cmd << "\n" << run.output;
    expectStream(out, c.codec);
  }
  // An earlier graph without a fragment: the subtitle input and the graph.
  const LavfiResult source = process({file(clip, 2)}, "");
  const LavfiResult result = process({graphInput(source.graph, 2), file(subtitle)}, "");
  const std::string out = dir.file("earlier.mkv");
  const CapturedRun run = test::runFragment(result.cmd, out, {"-c:s", "srt"});
  ASSERT_EQ(run.exitCode, 0) << result.cmd << "\n" << run.output;
  expectStream(out, "subrip");
}

}  // namespace
}  // namespace qel
