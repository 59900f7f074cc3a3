// The "videoEffect" operation: its filter text, file graphs, the merge of new
// effects into an earlier chain (options merged into eq, repeated options as a
// new stage), and a real ffmpeg run of a merged chain. Its first input's
// refusals are in first_input_opening_test.cpp.
#include "operations/lavfi_video_effect.h"

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

const std::string kEarlier =
    "movie='P',trim=0:10,setpts=PTS-STARTPTS,eq=contrast=1.2[out0];amovie='P',atrim=0:10,asetpts=PTS-STARTPTS[out1]";

class VideoEffectTest : public test::OperationTest<LavfiVideoEffect> {
 protected:
  // Every run here writes video only.
  LavfiResult run(std::vector<LavfiInputItem> inputs, const std::string& transform) {
    return OperationTest::run(std::move(inputs), transform, "-an");
  }

  LavfiVideoEffect& effect = operation;
};

TEST_F(VideoEffectTest, NameIsVideoEffect) { EXPECT_STREQ(effect.name(), "videoEffect"); }

TEST_F(VideoEffectTest, FilterTextFollowsDashVfBlank) {
  const std::pair<std::string, std::string> cases[] = {
      {"-vf eq=contrast=1.2", "eq=contrast=1.2"},
      {"-vf \"hue=h=30,unsharp\" ", "hue=h=30,unsharp"},
      {"-r 30 -vf eq=gamma=2 -an", "eq=gamma=2 -an"},  // later options stay in the text
      {"-vf", ""},
      {"-vf\thue=h=1", ""},
      {"", ""},
  };
  for (const auto& [transform, text] : cases) EXPECT_EQ(LavfiVideoEffect::filterText(transform), text) << transform;
}

TEST_F(VideoEffectTest, FileGraphs) {
  struct Case {
    const char* name;
    std::string probe;
    std::string transform;
    std::string graph;
  };
  const std::string p = "D\\:/v/clip.mp4";
  const Case cases[] = {
      {"video and audio", test::fakeMedia(10, 10), "-vf eq=contrast=1.2",
       "movie='" + p + "',trim=0:10,setpts=PTS-STARTPTS,eq=contrast=1.2[out0];amovie='" + p +
           "',atrim=0:10,asetpts=PTS-STARTPTS[out1]"},
      {"without audio no trim", test::fakeMedia(10, 0), "-vf eq=contrast=1.2",
       "movie='" + p + "',eq=contrast=1.2[out0]"},
      {"without video a black picture, no effect", test::fakeMedia(0, 10), "-vf eq=contrast=1.2",
       "color=black:duration=10[out0];amovie='" + p + "',atrim=0:10,asetpts=PTS-STARTPTS[out1]"},
      {"no -vf", test::fakeMedia(10, 10), "-vf\"eq\"",
       "movie='" + p + "',trim=0:10,setpts=PTS-STARTPTS[out0];amovie='" + p +
           "',atrim=0:10,asetpts=PTS-STARTPTS[out1]"},
  };
  for (const Case& c : cases) {
    test::serveProbe(parser, c.probe);
    const LavfiResult result = run({file("D:\\v\\clip.mp4")}, c.transform);
    EXPECT_EQ(result.graph, c.graph) << c.name;
    EXPECT_EQ(parser.durationOf(result.graph), 10.0) << c.name;
    EXPECT_EQ(result.inputFiles, std::vector<std::string>{"D:\\v\\clip.mp4"});
    EXPECT_TRUE(result.cmd.empty());
  }
}

TEST_F(VideoEffectTest, MergesIntoAnEarlierEffectChain) {
  struct Case {
    const char* name;
    std::string transform;
    std::string videoChain;
  };
  const Case cases[] = {
      {"new eq options first, new filters appended", "-vf eq=brightness=0.1,hue=h=30",
       "movie='P',trim=0:10,setpts=PTS-STARTPTS,eq=brightness=0.1:contrast=1.2,hue=h=30"},
      {"a repeated option becomes a stage", "-vf eq=contrast=1.5",
       "movie='P',trim=0:10,setpts=PTS-STARTPTS,eq=contrast=1.2[v3];[v3]eq=contrast=1.5"},
      {"parts are trimmed, empty parts skipped", "-vf \" unsharp=5:5:1.0 , ,noise=alls=10 \"",
       "movie='P',trim=0:10,setpts=PTS-STARTPTS,eq=contrast=1.2,unsharp=5:5:1.0,noise=alls=10"},
  };
  parser.labelCounter = 3;
  for (const Case& c : cases) {
    const LavfiResult result = run({graphInput(kEarlier, 7)}, c.transform);
    EXPECT_EQ(result.graph, c.videoChain + "[out0];amovie='P',atrim=0:10,asetpts=PTS-STARTPTS[out1]") << c.name;
    EXPECT_EQ(parser.durationOf(result.graph), 7.0) << c.name;
    EXPECT_EQ(result.inputFiles, std::vector<std::string>{"P"}) << c.name;
  }
  EXPECT_EQ(parser.labelCounter, 4u);  // only the stage took a number
  EXPECT_EQ(log.joined(), "");
}

TEST_F(VideoEffectTest, StagesAndLaterEffects) {
  parser.labelCounter = 3;
  const LavfiResult staged = run({graphInput(kEarlier)}, "-vf eq=contrast=1.5,hue=h=30");
  EXPECT_EQ(parser.labelCounter, 4u);
  EXPECT_NE(staged.graph.find("eq=contrast=1.2[v3];[v3]eq=contrast=1.5,hue=h=30[out0]"), std::string::npos)
      << staged.graph;
  // The stage's first filter has no comma before it, but its hue is seen: a
  // repeated hue makes another stage.
  const LavfiResult again = run({graphInput(staged.graph)}, "-vf hue=h=60");
  EXPECT_NE(again.graph.find("[v3];[v3]eq=contrast=1.5,hue=h=30[v4];[v4]hue=h=60[out0]"), std::string::npos)
      << again.graph;

  // A stage holding only its first filter shows no marker: the next effect is
  // appended even when it repeats an option.
  parser.labelCounter = 10;
  const LavfiResult single = run({graphInput(kEarlier)}, "-vf eq=contrast=1.5");
  const LavfiResult appended = run({graphInput(single.graph)}, "-vf eq=contrast=2");
  EXPECT_NE(appended.graph.find("[v10];[v10]eq=contrast=1.5,eq=contrast=2[out0]"), std::string::npos) << appended.graph;
}

TEST_F(VideoEffectTest, OnlyTheFirstRepeatedKeyMakesOneStage) {
  parser.labelCounter = 0;
  const std::string earlier = "movie='P',eq=brightness=0.2,hue=h=10[out0]";
  const LavfiResult result = run({graphInput(earlier)}, "-vf eq=brightness=0.3,hue=h=20");
  EXPECT_EQ(result.graph, "movie='P',eq=brightness=0.2,hue=h=10[v0];[v0]eq=brightness=0.3,hue=h=20[out0]");
  EXPECT_EQ(parser.labelCounter, 1u);
}

TEST_F(VideoEffectTest, EqInsideAPathIsNotTheEqFilter) {
  const std::string earlier = "movie='C\\:/freq=1.mp4',hue=h=10[out0]";
  const LavfiResult result = run({graphInput(earlier)}, "-vf eq=gamma=2");
  EXPECT_EQ(result.graph, "movie='C\\:/freq=1.mp4',hue=h=10,eq=gamma=2[out0]");
}

TEST_F(VideoEffectTest, EarlierGraphsWithoutAMarkerOrVideo) {
  struct Case {
    const char* name;
    std::string graph;
    std::string transform;
    std::string result;
  };
  const Case cases[] = {
      {"no marker: appended", "movie='x',hflip[out0];amovie='x'[out1]", "-vf eq=gamma=1.5",
       "movie='x',hflip,eq=gamma=1.5[out0];amovie='x'[out1]"},
      {"marker only in an earlier chain", "movie='x',eq=gamma=2[v1];[v1]hflip[out0]", "-vf eq=gamma=1.5",
       "movie='x',eq=gamma=2[v1];[v1]hflip,eq=gamma=1.5[out0]"},
      {"audio only passes", "amovie='y',volume=2[out0]", "-vf eq=gamma=1.5", "amovie='y',volume=2[out0]"},
      {"no filter text", kEarlier, "-an", kEarlier},
  };
  for (const Case& c : cases) {
    const LavfiResult result = run({graphInput(c.graph, 4)}, c.transform);
    EXPECT_EQ(result.graph, c.result) << c.name;
    EXPECT_EQ(parser.durationOf(result.graph), 4.0) << c.name;
  }
}

TEST_F(VideoEffectTest, MergeWithoutOutputLabelFails) {
  std::string graph = "movie='x',eq=gamma=2";
  EXPECT_FALSE(LavfiVideoEffect::mergeEffectChain(parser, graph, "eq=gamma=3"));
  EXPECT_EQ(graph, "movie='x',eq=gamma=2");
  EXPECT_TRUE(LavfiVideoEffect::hasEffectFilter("movie='x',noise=alls=2"));
  EXPECT_FALSE(LavfiVideoEffect::hasEffectFilter("movie='x',eq=gamma=2;[v0]hflip"));
  EXPECT_FALSE(LavfiVideoEffect::hasEffectFilter("eq=gamma=2"));
}

// Real run: a chain built by three effect requests (eq, hue, unsharp, noise,
// then a repeated eq option as a stage) runs in ffmpeg.
TEST(VideoEffectRun, MergedEffectChainRuns) {
  test::TempDir dir;
  const std::string clip = dir.file("clip.mp4");
  test::ClipSpec recipe = test::smallClip(2, 5);
  test::makeClip(clip, recipe);
  LavfiParser parser{makeOperationRegistry()};
  test::probeWithFfprobe(parser);
  LavfiVideoEffect effect;
  auto apply = [&](const LavfiInputItem& input, const std::string& transform) {
    LavfiOperationDesc request{transform, "", "videoEffect", {input}};
    return effect.process(parser, request).graph;
  };
  std::string graph = apply(file(clip, 2), "-vf eq=contrast=1.2");
  graph = apply(graphInput(graph, 2), "-vf eq=brightness=0.1,hue=h=30");
  graph = apply(graphInput(graph, 2), "-vf unsharp=5:5:1.0,noise=alls=10:allf=t");
  graph = apply(graphInput(graph, 2), "-vf eq=contrast=1.5");
  ASSERT_NE(graph.find("eq=brightness=0.1:contrast=1.2,hue=h=30,unsharp=5:5:1.0,noise=alls=10:allf=t[v0];[v0]eq="
                       "contrast=1.5[out0]"),
            std::string::npos)
      << graph;
  const std::string out = dir.file("effect.mp4");
  const CapturedRun run = test::runGraph(graph, {"[out0]", "[out1]"}, out);
  ASSERT_EQ(run.exitCode, 0) << graph << "\n" << run.output;
  const test::ProbeInfo info = test::probe(out);
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_EQ(info.width, 64);
  EXPECT_EQ(info.count("audio"), 1);
  EXPECT_NEAR(info.duration, 2.0, 0.1);
}

}  // namespace
}  // namespace qel
