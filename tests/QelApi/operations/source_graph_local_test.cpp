// The local-input source graph as the operations write it: the examples and
// edge cases of the shared rules (escaped paths, subtitle clause, stream
// thresholds, the black filler, number forms, chaining onto an earlier graph),
// the durations that read as 0, and the registry positions of the operations.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/subprocess.h"
#include "operations/lavfi_cutter.h"
#include "operations/lavfi_seek.h"
#include "operations/lavfi_speed_adjuster.h"
#include "operations/lavfi_video_effect.h"
#include "operations/lavfi_video_filling.h"
#include "support/operation_test_helpers.h"
#include "support/test_support.h"
#include "operations/operation_registry.h"

namespace qel {
namespace {

using test::LogCapture;

LavfiInputItem file(const std::string& path, double duration) { return {1, path, "", duration}; }

class SourceGraphLocalTest : public ::testing::Test {
 protected:
  // A file graph without filters: the filling operation with an empty
  // transform writes the plain source graph with the black filler on.
  std::string plainGraph(const std::string& path, double duration, const std::string& probe) {
    test::serveProbe(parser, probe);
    LavfiOperationDesc desc{"", "", "videoFilling", {file(path, duration)}};
    return LavfiVideoFilling().process(parser, desc).graph;
  }
  // The same without the black filler (the speed change adds nothing without
  // a -filter_complex).
  std::string unfilledGraph(const std::string& path, double duration, const std::string& probe) {
    test::serveProbe(parser, probe);
    LavfiOperationDesc desc{"", "", "speedAdjuster", {file(path, duration)}};
    return LavfiSpeedAdjuster().process(parser, desc).graph;
  }

  LavfiParser parser{makeOperationRegistry()};
  LogCapture log;
};

TEST_F(SourceGraphLocalTest, WholeInputExample) {
  EXPECT_EQ(plainGraph("C:\\clips\\a.mp4", 12.5, test::fakeMedia(12.5, 12.5)),
            "movie='C\\:/clips/a.mp4',trim=0:12.5,setpts=PTS-STARTPTS[out0];"
            "amovie='C\\:/clips/a.mp4',atrim=0:12.5,asetpts=PTS-STARTPTS[out1]");
}

TEST_F(SourceGraphLocalTest, EdgeCases) {
  struct Case {
    const char* name;
    std::string path;
    std::string probe;
    bool filler;
    std::string graph;
  };
  const std::string firstSubtitle =
      test::fakeProbeJson({{"video", "h264", "5"}, {"subtitle", "mov_text", "5"}, {"audio", "aac", "5"}});
  const std::string secondSubtitle = test::fakeProbeJson(
      {{"video", "h264", "5"}, {"audio", "aac", "5"}, {"subtitle", "ass", "5"}, {"subtitle", "mov_text", "5"}});
  const std::string noDuration =
      test::fakeProbeJson({{"video", "h264", "5"}, {"audio", "aac", "5"}, {"subtitle", "mov_text", ""}});
  const std::string zeroDuration =
      test::fakeProbeJson({{"video", "h264", "5"}, {"audio", "aac", "5"}, {"subtitle", "mov_text", "0"}});
  const std::string containerDuration = test::fakeProbeJson({{"video", "h264", ""}, {"audio", "aac", "5"}}, "5");
  const Case cases[] = {
      {"first subtitle stream: no :si", "/m/a.mp4", firstSubtitle, true,
       "movie='/m/a.mp4',subtitles='/m/a.mp4',trim=0:5,setpts=PTS-STARTPTS[out0];"
       "amovie='/m/a.mp4',atrim=0:5,asetpts=PTS-STARTPTS[out1]"},
      {"second subtitle stream: :si=1", "/m/a.mp4", secondSubtitle, true,
       "movie='/m/a.mp4',subtitles='/m/a.mp4':si=1,trim=0:5,setpts=PTS-STARTPTS[out0];"
       "amovie='/m/a.mp4',atrim=0:5,asetpts=PTS-STARTPTS[out1]"},
      {"mov_text without duration", "/m/a.mp4", noDuration, true,
       "movie='/m/a.mp4',trim=0:5,setpts=PTS-STARTPTS[out0];amovie='/m/a.mp4',atrim=0:5,asetpts=PTS-STARTPTS[out1]"},
      {"mov_text of zero duration", "/m/a.mp4", zeroDuration, true,
       "movie='/m/a.mp4',trim=0:5,setpts=PTS-STARTPTS[out0];amovie='/m/a.mp4',atrim=0:5,asetpts=PTS-STARTPTS[out1]"},
      {"video duration from the container", "/m/a.mp4", containerDuration, true,
       "movie='/m/a.mp4',trim=0:5,setpts=PTS-STARTPTS[out0];amovie='/m/a.mp4',atrim=0:5,asetpts=PTS-STARTPTS[out1]"},
      {"audio only without filler: no trim (it needs both streams)", "/m/a.m4a", test::fakeMedia(0, 5), false,
       "amovie='/m/a.m4a'[out0]"},
      {"quote in a drive path", "D:\\my'clip.mp4", test::fakeMedia(5, 5), true,
       "movie='D\\:/my'\\\\\\''clip.mp4',trim=0:5,setpts=PTS-STARTPTS[out0];"
       "amovie='D\\:/my'\\\\\\''clip.mp4',atrim=0:5,asetpts=PTS-STARTPTS[out1]"},
      {"tiny video: chain but no trim", "/m/a.mp4", test::fakeMedia(0.0005, 10), true,
       "movie='/m/a.mp4'[out0];amovie='/m/a.mp4'[out1]"},
      {"already escaped path", "C\\:/v/a.mp4", test::fakeMedia(5, 5), false,
       "movie='C\\:/v/a.mp4',trim=0:5,setpts=PTS-STARTPTS[out0];amovie='C\\:/v/"
       "a.mp4',atrim=0:5,asetpts=PTS-STARTPTS[out1]"},
  };
  for (const Case& c : cases) {
    const double duration = 5;
    const std::string graph =
        c.filler ? plainGraph(c.path, duration, c.probe) : unfilledGraph(c.path, duration, c.probe);
    EXPECT_EQ(graph, c.graph) << c.name;
  }
}

TEST_F(SourceGraphLocalTest, AudioOnlyWithoutFillerHasOneLabel) {
  const std::string graph = unfilledGraph("/m/a.mp3", 5, test::fakeMedia(0, 5));
  EXPECT_EQ(graph.rfind("amovie='", 0), 0u);
  EXPECT_EQ(graph.find(';'), std::string::npos);
  EXPECT_EQ(graph.find("[out1]"), std::string::npos);
  EXPECT_TRUE(graph.ends_with("[out0]"));
}

TEST_F(SourceGraphLocalTest, StreamFormOfTheDuration) {
  const std::pair<double, std::string> cases[] = {
      {12.3456789, "12.3457"}, {3600, "3600"}, {0.5, "0.5"}, {1234567, "1.23457e+06"}, {12.345000267028809, "12.345"}};
  for (const auto& [duration, text] : cases) {
    EXPECT_EQ(plainGraph("/m/a.mp4", duration, test::fakeMedia(5, 5)),
              "movie='/m/a.mp4',trim=0:" + text + ",setpts=PTS-STARTPTS[out0];amovie='/m/a.mp4',atrim=0:" + text +
                  ",asetpts=PTS-STARTPTS[out1]")
        << duration;
  }
}

TEST_F(SourceGraphLocalTest, TinyVideoAndNoAudioIsRefused) {
  EXPECT_EQ(plainGraph("/m/a.mp4", 5, test::fakeMedia(0.0005, 0)), "");
  EXPECT_TRUE(log.has("[process,57]:no audio, no video stream: /m/a.mp4")) << log.joined();
}

TEST_F(SourceGraphLocalTest, ChainingOntoAnEarlierGraph) {
  LavfiOperationDesc desc{"hflip", "", "videoFilling", {{2, "movie='x'[out0];amovie='x'[out1]", "", 5}}};
  EXPECT_EQ(LavfiVideoFilling().process(parser, desc).graph, "movie='x',hflip[out0];amovie='x'[out1]");
  desc.inputs[0].value = "movie='x'[v0]";
  EXPECT_EQ(LavfiVideoFilling().process(parser, desc).graph, "");
  EXPECT_TRUE(log.has("[process,35]:no audio, no video stream: movie='x'[v0]")) << log.joined();
}

// Every operation of this group is reached through the parser by its name,
// ASCII case ignored, and counts the files it reads.
TEST_F(SourceGraphLocalTest, RegisteredUnderTheirNames) {
  test::serveProbe(parser, test::fakeMedia(10, 10));
  const std::pair<const char*, const char*> cases[] = {{"CUT", "-ss 1 -to 2"},
                                                       {"seekposition", " trim=1"},
                                                       {"SpeedAdjuster", "-filter_complex atempo=2"},
                                                       {"VIDEOEFFECT", "-vf eq=gamma=2"},
                                                       {"videofilling", "pad=400:300"}};
  for (const auto& [description, transform] : cases) {
    LavfiOperationDesc desc{transform, "", description, {file("/m/a.mp4", 10)}};
    LavfiParseResult reply;
    parser.doParse(reply, desc);
    EXPECT_FALSE(reply.graph.empty()) << description;
    EXPECT_EQ(reply.fileNums, 1) << description;
  }
  std::vector<std::string> names;
  for (const auto& operation : parser.registry) names.emplace_back(operation->name());
  auto position = [&names](const std::string& name) {
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (names[i] == name) return static_cast<int>(i);
    }
    return -1;
  };
  // Registry positions 1, 8, 9, 10 and 13 (counted from 1): the first match wins.
  ASSERT_EQ(names.size(), 17u);
  EXPECT_EQ(position("cut"), 0);
  EXPECT_EQ(position("videoEffect"), 7);
  EXPECT_EQ(position("seekPosition"), 8);
  EXPECT_EQ(position("videoFilling"), 9);
  EXPECT_EQ(position("speedAdjuster"), 12);
}

// A request without a usable duration: the effect's source graph keeps the
// whole file instead of trimming it to 0 seconds.
TEST(SourceGraphLocalRun, ZeroDurationKeepsTheWholeFile) {
  test::TempDir dir;
  const std::string clip = dir.file("clip.mp4");
  test::ClipSpec recipe = test::smallClip(2, 5);
  test::makeClip(clip, recipe);
  LavfiParser parser{makeOperationRegistry()};
  test::probeWithFfprobe(parser);
  LavfiOperationDesc desc{"-vf hue=h=30", "", "videoEffect", {file(clip, 0)}};
  const LavfiResult result = LavfiVideoEffect().process(parser, desc);
  EXPECT_EQ(result.graph.find("trim"), std::string::npos) << result.graph;
  const std::string out = dir.file("out.mp4");
  const CapturedRun run = test::runGraph(result.graph, {"[out0]", "[out1]"}, out);
  ASSERT_EQ(run.exitCode, 0) << run.output;
  const test::ProbeInfo info = test::probe(out);
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_NEAR(info.duration, 2.0, 0.1);
}

}  // namespace
}  // namespace qel
