// The "convert" operation: graphs for files and earlier graphs, the rewrite of
// an earlier step's command fragment, and a real ffmpeg run of its graph.
#include "operations/lavfi_convert.h"

#include <gtest/gtest.h>

#include <rapidjson/document.h>

#include <string>
#include <vector>

#include "common/command_line.h"
#include "common/subprocess.h"
#include "common/text_edit.h"
#include "engine/config_commands.h"
#include "engine/engine_context.h"
#include "support/operation_test_helpers.h"
#include "support/test_support.h"
#include "support/engine_context_access.h"

namespace qel {
namespace {

using test::LogCapture;

LavfiInputItem file(const std::string& path, double duration = 12.5) { return {1, path, "", duration}; }
LavfiInputItem graphInput(const std::string& graph, double duration = 12.5) { return {2, graph, "", duration}; }

class LavfiConvertTest : public test::OperationTest<LavfiConvert> {
 protected:
  LavfiConvert& convert = operation;
};

const char* const kClip = "D:\\v\\clip.mp4";

TEST_F(LavfiConvertTest, FilterTextFollowsDashVf) {
  EXPECT_EQ(LavfiConvert::filterText("-vf scale=1280:720"), "scale=1280:720");
  EXPECT_EQ(LavfiConvert::filterText("-vf \"scale=1280:720\" "), "scale=1280:720");
  EXPECT_EQ(LavfiConvert::filterText("-r 30 -vf  pad=640:480:0:0"), "pad=640:480:0:0");
  EXPECT_EQ(LavfiConvert::filterText("-r 30"), "");
  EXPECT_EQ(LavfiConvert::filterText("-vf"), "");
}

TEST_F(LavfiConvertTest, FileWithVideoAndAudio) {
  test::serveProbe(parser, test::fakeMedia(12.5, 12.5));
  for (const std::string transform : {"-vf scale=1280:720", "-vf \"scale=1280:720\""}) {
    const LavfiResult result = run({file(kClip)}, transform);
    EXPECT_EQ(result.graph,
              "movie='D\\:/v/clip.mp4',trim=0:12.5,setpts=PTS-STARTPTS,scale=1280:720[out0];"
              "amovie='D\\:/v/clip.mp4',atrim=0:12.5,asetpts=PTS-STARTPTS[out1]");
    EXPECT_EQ(result.cmd, "-i \"D:\\v\\clip.mp4\" -filter_complex \"scale=1280:720\"");
    EXPECT_EQ(result.inputFiles, std::vector<std::string>{kClip});
    EXPECT_EQ(parser.durationOf(result.graph), 12.5);
  }
}

TEST_F(LavfiConvertTest, FileGraphsFollowTheOutputConfiguration) {
  struct Case {
    double video;
    double audio;
    std::string transform;
    std::string outputConfig;
    std::string graph;
    std::string cmd;
  };
  const std::string e = "D\\:/v/clip.mp4";
  const Case cases[] = {
      // The fragment runs in place of the graph, so it keeps the graph's
      // streams: ffmpeg would add the filter's video despite "-vn", and
      // "-map_channel -1" drops no audio stream.
      {12.5, 12.5, "-vf scale=1280:720", "-vn", "amovie='" + e + "'[out0]", "-i \"D:\\v\\clip.mp4\" -vn"},
      {12.5, 12.5, "-vf scale=1280:720", "-map_channel -1", "movie='" + e + "',scale=1280:720[out0]",
       "-i \"D:\\v\\clip.mp4\" -filter_complex \"scale=1280:720\" -an"},
      // No filter: nothing before "[out0]", and no empty -filter_complex.
      {12.5, 12.5, "-c:v libx264", "",
       "movie='" + e + "',trim=0:12.5,setpts=PTS-STARTPTS[out0];amovie='" + e +
           "',atrim=0:12.5,asetpts=PTS-STARTPTS[out1]",
       "-i \"D:\\v\\clip.mp4\""},
      {0, 12.5, "-vf scale=1280:720", "", "amovie='" + e + "'[out0]", "-i \"D:\\v\\clip.mp4\" -vn"},
      {12.5, 0, "-vf scale=1280:720", "", "movie='" + e + "',scale=1280:720[out0]",
       "-i \"D:\\v\\clip.mp4\" -filter_complex \"scale=1280:720\" -an"},
      // A video shorter than the usable threshold next to real audio: one
      // "has video" test places the audio chain after a separator with its
      // own label, never a second "[out0]" glued on.
      {0.0005, 10, "", "", "movie='" + e + "'[out0];amovie='" + e + "'[out1]", "-i \"D:\\v\\clip.mp4\""},
  };
  for (const Case& c : cases) {
    test::serveProbe(parser, test::fakeMedia(c.video, c.audio));
    const LavfiResult result = run({file(kClip)}, c.transform, c.outputConfig);
    EXPECT_EQ(result.graph, c.graph) << c.outputConfig << " v=" << c.video;
    EXPECT_EQ(result.cmd, c.cmd) << c.outputConfig;
  }
}

TEST_F(LavfiConvertTest, EarlierGraphs) {
  struct Case {
    std::string graph;
    std::string transform;
    std::string outputConfig;
    std::string expected;
  };
  const Case cases[] = {
      {"movie='E',scale=640:360[out0];amovie='E'[out1]", "-vf scale=1280:720", "",
       "movie='E',scale=1280:720[out0];amovie='E'[out1]"},
      {"movie='E',scale=1280:720[out0];amovie='E'[out1]", "-vf scale=1280:720", "",
       "movie='E',scale=1280:720[out0];amovie='E'[out1]"},
      {"movie='E',hflip[out0];amovie='E'[out1]", "-vf scale=1280:720", "",
       "movie='E',hflip,scale=1280:720[out0];amovie='E'[out1]"},
      {"movie='E',pad=640:480:0:0[out0];amovie='E'[out1]", "-vf scale=1280:720", "",
       "movie='E',pad=640:480:0:0[v0];[v0]scale=1280:720[out0];amovie='E'[out1]"},
      // The last numeric scale is the one replaced, in its own place.
      {"movie='E',scale=1280:7200,scale=1280:720[out0]", "-vf scale=320:240", "",
       "movie='E',scale=1280:7200,scale=320:240[out0]"},
      // Only audio: nothing to filter.
      {"amovie='E',volume=2[out0]", "-vf scale=1280:720", "", "amovie='E',volume=2[out0]"},
      // No filter: unchanged.
      {"movie='E',scale=640:360[out0];amovie='E'[out1]", "", "", "movie='E',scale=640:360[out0];amovie='E'[out1]"},
      // The audio-only rebuild.
      {"movie='E',scale=640:360[out0];amovie='E',volume=2[out1]", "-vf scale=1280:720", "-vn",
       "amovie='E',volume=2[out0]"},
      {"movie='E'[v1];[v1]hflip[out0];[a1]volume=2[out1];amovie='E'[a1]", "", "-vn",
       "[a1]volume=2[out0];amovie='E'[a1]"},
  };
  for (const Case& c : cases) {
    parser.labelCounter = 0;
    const LavfiResult result = run({graphInput(c.graph, 7)}, c.transform, c.outputConfig);
    EXPECT_EQ(result.graph, c.expected) << c.graph;
    EXPECT_EQ(parser.durationOf(result.graph), 7.0) << c.graph;
  }
}

TEST_F(LavfiConvertTest, UnmergeableScaleLogsAndPassesThrough) {
  const std::string graph = "movie='E',scale=-2:720[out0];amovie='E'[out1]";
  const LavfiResult result = run({graphInput(graph)}, "-vf scale=1280:720");
  EXPECT_EQ(result.graph, graph);
  EXPECT_TRUE(log.has("[process,69]:Failed to merge: " + graph + " and scale=1280:720")) << log.joined();
}

TEST_F(LavfiConvertTest, MergeTakesTheNextLabel) {
  parser.labelCounter = 5;
  std::string graph = "movie='E',crop=10:10:0:0[out0]";
  EXPECT_TRUE(LavfiConvert::mergeVideoFilter(parser, graph, "scale=2:2"));
  EXPECT_EQ(graph, "movie='E',crop=10:10:0:0[v5];[v5]scale=2:2[out0]");
  EXPECT_EQ(parser.labelCounter, 6u);
  std::string noLabel = "movie='E'";
  EXPECT_FALSE(LavfiConvert::mergeVideoFilter(parser, noLabel, "scale=2:2"));
  std::string relative = "movie='E',scale=iw/2:ih/2[out0]";
  EXPECT_FALSE(LavfiConvert::mergeVideoFilter(parser, relative, "scale=2:2"));
  EXPECT_EQ(relative, "movie='E',scale=iw/2:ih/2[out0]");
}

// An earlier result whose record carries a command fragment.
class ConvertFragmentTest : public LavfiConvertTest {
 protected:
  const std::string earlier = "movie='a'[out0];amovie='a'[out1]";
  void recordFragment(const std::string& cmd) { parser.outputs[earlier] = LavfiOutputRecord{0, "", cmd}; }
};

TEST_F(ConvertFragmentTest, VideoMapGoesThroughTheFilter) {
  recordFragment("-i \"a.mp4\" -map 0:v -map 0:a");
  parser.labelCounter = 3;
  const LavfiResult result = run({graphInput(earlier)}, "-vf scale=1280:720");
  EXPECT_EQ(result.cmd, "-i \"a.mp4\" -filter_complex \"[0:v]scale=1280:720[v3]\" -map [v3] -map 0:a");
  EXPECT_EQ(parser.labelCounter, 4u);
}

TEST_F(ConvertFragmentTest, NoAudioDropsTheAudioMapFirst) {
  recordFragment("-i \"a.mp4\" -map 0:v -map 0:a");
  parser.labelCounter = 3;
  const LavfiResult result = run({graphInput(earlier)}, "-vf scale=1280:720", "-map_channel -1");
  EXPECT_EQ(result.cmd, "-i \"a.mp4\" -filter_complex \"[0:v]scale=1280:720[v3]\" -map [v3] ");
}

TEST_F(ConvertFragmentTest, WithoutFilterTheVideoMapStays) {
  recordFragment("-i \"a.mp4\" -map 0:v -map 0:a");
  const LavfiResult result = run({graphInput(earlier)}, "");
  EXPECT_EQ(result.cmd, "-i \"a.mp4\" -map 0:v -map 0:a");
  EXPECT_EQ(result.cmd.find("-filter_complex"), std::string::npos);
  EXPECT_EQ(parser.labelCounter, 0u);
}

TEST_F(ConvertFragmentTest, NoVideoDropsTheVideoMap) {
  recordFragment("-i \"a.mp4\" -map 0:v -map 0:a");
  const LavfiResult result = run({graphInput(earlier)}, "-vf scale=1280:720", "-vn");
  EXPECT_EQ(result.cmd, "-i \"a.mp4\" -map 0:a");
}

TEST_F(ConvertFragmentTest, CoverArtOptionsFollowTheMaps) {
  const std::string coverArt = "-c:v:1 png -disposition:v:1 attached_pic";
  recordFragment("-i \"a.mp4\" -map 0:v -map 0:a");
  run({graphInput(earlier)}, "", "-c:v libx264 " + coverArt);
  EXPECT_EQ(desc.outputConfig, "-c:v libx264 ");

  recordFragment("-i \"a.mp4\" -map 0:v:0 -map 0:v:1 -map 0:a");
  run({graphInput(earlier)}, "", "-c:v libx264");
  EXPECT_EQ(desc.outputConfig, "-c:v libx264 " + coverArt);
  run({graphInput(earlier)}, "", "-c:v libx264 " + coverArt);
  EXPECT_EQ(desc.outputConfig, "-c:v libx264 " + coverArt);
}

TEST_F(ConvertFragmentTest, RecordedOutputConfigIsTheRewrittenOne) {
  recordFragment("-i \"a.mp4\" -map 0:v:0 -map 0:v:1 -map 0:a");
  LavfiParseResult parsed;
  LavfiOperationDesc request{"", "-c:v libx264", "convert", {graphInput(earlier)}};
  parser.doParse(parsed, request);
  ASSERT_NE(parser.findOutput(parsed.graph), nullptr);
  EXPECT_EQ(parser.findOutput(parsed.graph)->outputConfig, "-c:v libx264 -c:v:1 png -disposition:v:1 attached_pic");
  EXPECT_EQ(parser.findOutput(parsed.graph)->transcode, 1);
}

TEST_F(ConvertFragmentTest, AssInputsJoinTheFragment) {
  recordFragment("-i \"a.mp4\" -map 0:v -map 0:a");
  parser.labelCounter = 3;
  const LavfiResult result =
      run({graphInput(earlier), file("subs.ass"), file("SUBS.ASS"), file("other.srt")}, "-vf scale=1280:720");
  EXPECT_EQ(result.cmd,
            "-i \"a.mp4\" -i \"subs.ass\" -filter_complex \"[0:v]scale=1280:720[v3]\" -map [v3] -map 0:a -map 1");
}

TEST_F(ConvertFragmentTest, QuotedTokensKeepTheirQuotesWhenAudioIsDropped) {
  recordFragment("-i \"my clip.mp4\" -metadata \"title=a b\" -map 0:v -map 0:a");
  const LavfiResult result = run({graphInput(earlier)}, "", "-map_channel -1");
  EXPECT_EQ(result.cmd, "-i \"my clip.mp4\" -metadata \"title=a b\" -map 0:v");
  EXPECT_EQ(splitCommandLine(result.cmd),
            (std::vector<std::string>{"-i", "my clip.mp4", "-metadata", "title=a b", "-map", "0:v"}));
}

// A second convert on the graph of a first one: the first one's file fragment,
// which the command runs in place of the graph, gets the same edit as the
// graph.
TEST_F(LavfiConvertTest, SecondConvertEditsTheFileFragmentLikeTheGraph) {
  struct Case {
    std::string firstFilter;
    std::string firstConfig;
    std::string secondFilter;
    std::string secondConfig;
    std::string cmd;
  };
  const std::string in = "-i \"D:\\v\\clip.mp4\"";
  const Case cases[] = {
      {"-vf scale=80:60", "", "-vf scale=120:90", "", in + " -filter_complex \"scale=120:90\""},
      {"-vf scale=80:60", "-map_channel -1", "-vf scale=120:90", "", in + " -filter_complex \"scale=120:90\" -an"},
      {"", "", "-vf scale=120:90", "", in + " -filter_complex \"scale=120:90\""},
      {"-vf hflip", "", "-vf scale=120:90", "", in + " -filter_complex \"hflip,scale=120:90\""},
      {"-vf pad=200:200:0:0", "", "-vf scale=120:90", "", in + " -filter_complex \"pad=200:200:0:0,scale=120:90\""},
      // The graph cannot merge into a relative scale and keeps it; so does the fragment.
      {"-vf scale=-2:60", "", "-vf scale=120:90", "", in + " -filter_complex \"scale=-2:60\""},
      {"-vf scale=80:60", "", "-vf scale=120:90", "-vn", in + " -vn"},
      {"-vf scale=80:60", "-vn", "-vf scale=120:90", "", in + " -vn"},
  };
  test::serveProbe(parser, test::fakeMedia(12.5, 12.5));
  for (const Case& c : cases) {
    LavfiParseResult first;
    LavfiOperationDesc firstDesc{c.firstFilter, c.firstConfig, "convert", {file(kClip)}};
    parser.doParse(first, firstDesc);
    ASSERT_FALSE(first.graph.empty());
    const LavfiResult second = run({graphInput(first.graph)}, c.secondFilter, c.secondConfig);
    std::string cmd = second.cmd;
    trimSpaces(cmd);  // a fragment without maps ends in a blank
    EXPECT_EQ(cmd, c.cmd) << c.firstFilter << " " << c.firstConfig << " then " << c.secondFilter << " "
                          << c.secondConfig;
  }
}

// End to end: a "process" request through the engine with a real clip, the
// reply's graph run by the real ffmpeg and its output checked with ffprobe.
TEST(LavfiConvertRun, ProcessReplyGraphRunsInFfmpeg) {
  test::TempDir dir;
  const std::string clip = dir.file("clip.mp4");
  test::ClipSpec recipe;
  recipe.seconds = 1.0;
  test::makeClip(clip, recipe);

  InitConfig config;
  config.ffmpeg_pathname = test::ffmpegPath();
  config.ffprobe_pathname = test::ffprobePath();
  config.tmp_path = dir.path();
  EngineContext engine(config);
  const std::string requestText = R"({"sid":7,"operation":{"input":[{"type":1,"value":")" + clip +
                                  R"(","duration":1}],"transform":"-vf scale=320:240",)"
                                  R"("description":"convert","outputConfig":"-c:v libx264"}})";
  std::string reply;
  ASSERT_EQ(processLavfiRequest(engine, requestText.c_str(), reply), 0);
  rapidjson::Document doc;
  doc.Parse(reply.c_str());
  ASSERT_TRUE(doc.IsObject()) << reply;
  EXPECT_EQ(doc["sid"].GetInt64(), 7);
  EXPECT_EQ(doc["errorCode"].GetInt(), 0) << reply;
  const std::string graph = doc["operation"]["output"].GetString();
  EXPECT_EQ(doc["operation"]["fileNums"].GetInt(), 1);
  EXPECT_EQ(graph, "movie='" + clip + "',trim=0:1,setpts=PTS-STARTPTS,scale=320:240[out0];amovie='" + clip +
                       "',atrim=0:1,asetpts=PTS-STARTPTS[out1]");
  {
    auto lock = EngineContextTestAccess::lock(engine);
    EXPECT_EQ(EngineContextTestAccess::parser(engine).durationOf(graph), 1.0);
    ASSERT_NE(EngineContextTestAccess::parser(engine).findOutput(graph), nullptr);
    EXPECT_EQ(EngineContextTestAccess::parser(engine).findOutput(graph)->transcode, 1);
  }

  const std::string out = dir.file("out.mp4");
  const CapturedRun run = test::runGraph(graph, {"[out0]", "[out1]"}, out);
  ASSERT_EQ(run.exitCode, 0) << run.output;
  const test::ProbeInfo info = test::probe(out);
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_EQ(info.width, 320);
  EXPECT_EQ(info.height, 240);
  EXPECT_EQ(info.count("audio"), 1);
  EXPECT_NEAR(info.duration, 1.0, 0.2);
}

TEST(LavfiConvertRun, UnknownDescriptionGivesTheFailureReply) {
  InitConfig config;
  EngineContext engine(config);
  LogCapture log;
  std::string reply;
  ASSERT_EQ(
      processLavfiRequest(engine, R"({"sid":2,"operation":{"input":[],"transform":"","description":"nope"}})", reply),
      0);
  rapidjson::Document doc;
  doc.Parse(reply.c_str());
  ASSERT_TRUE(doc.IsObject()) << reply;
  EXPECT_EQ(doc["errorCode"].GetInt(), 6520);
  EXPECT_TRUE(doc["error"].GetBool());
  EXPECT_STREQ(doc["operation"]["output"].GetString(), "");
  EXPECT_TRUE(
      log.has("[doParse,171]:Output cmd is empty, may be the feature is not implemented or that the "
              "analysis fails. [nope]"));
  // Malformed texts are refused the same way, never a crash.
  for (const char* text : {"", "[]", "{\"operation\":7}", "{\"operation\":{\"input\":5}}"}) {
    reply.clear();
    EXPECT_EQ(processLavfiRequest(engine, text, reply), 0);
    EXPECT_NE(reply.find("6520"), std::string::npos) << text;
  }
}

}  // namespace
}  // namespace qel
