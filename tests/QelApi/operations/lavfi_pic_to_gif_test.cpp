// The "pictureToGif" operation: the transform split, the joined graph with its
// palette chain (canned inputs), and a real GIF made from two pictures.
#include "operations/lavfi_pic_to_gif.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/operation_test_helpers.h"
#include "QelApi/operations/real_engine_helpers.h"
#include "support/test_support.h"

namespace qel {
namespace {

using test::LogCapture;

LavfiInputItem graphItem(const std::string& value, double duration = 0) { return {2, value, "", duration}; }

const std::string kPalette = ",split[s0][s1];[s0]palettegen[p];[s1][p]paletteuse[out0]";

using LavfiPicToGifTest = test::OperationTest<LavfiPicToGif>;

TEST_F(LavfiPicToGifTest, NameIsPictureToGif) { EXPECT_STREQ(operation.name(), "pictureToGif"); }

TEST_F(LavfiPicToGifTest, SplitTransform) {
  struct Case {
    std::string transform;
    std::string filter;
    std::string rate;
  };
  const Case cases[] = {
      {"setpts=0.5*PTS,scale=320:-1", "scale=320:-1", "setpts=0.5*PTS"},
      {"setpts=0.5*PTS", "setpts=0.5*PTS", ""},  // no comma: all filter text
      {"setpts=2*PTS,", "", "setpts=2*PTS"},
      {" , fps=10 , ", "fps=10", ""},
      {"", "", ""},
      {"setpts=1|2*PTS, fps=5 ,", " fps=5 ,", "setpts=1|2*PTS"},  // the rest as written
      {"setpts=*PTS,fps=5", "setpts=*PTS,fps=5", ""},
      {"setpts=N/10/TB*PTS,fps=5", "setpts=N/10/TB*PTS,fps=5", ""},
      {" setpts=2*PTS,fps=5", "setpts=2*PTS,fps=5", ""},
      {"setpts=2*PTS,fps=5\nscale=1:1", "setpts=2*PTS,fps=5\nscale=1:1", ""},  // '.' takes no line break
  };
  for (const Case& c : cases) {
    const LavfiPicToGif::TransformParts parts = LavfiPicToGif::splitTransform(c.transform);
    EXPECT_EQ(parts.filter, c.filter) << c.transform;
    EXPECT_EQ(parts.rate, c.rate) << c.transform;
  }
}

TEST_F(LavfiPicToGifTest, JoinsPicturesWithTextsAndPalette) {
  const LavfiResult result = run({graphItem("movie='a.png'[out0]", 2), graphItem("movie='b.png'[out0]", 3),
                                  graphItem("drawtext=text='Hi'[out0]", 4)},
                                 "setpts=0.5*PTS,scale=320:-1");
  EXPECT_EQ(result.graph,
            "movie='a.png'[v0],movie='b.png'[v1],[v0][v1]concat=n=2,scale=320:-1,drawtext=text='Hi',"
            "setpts=0.5*PTS,split[s0][s1];[s0]palettegen[p];[s1][p]paletteuse[out0]");
  EXPECT_TRUE(result.cmd.empty());
  EXPECT_EQ(parser.durationOf(result.graph), 5.0);
  EXPECT_EQ(parser.labelCounter, 0u);  // the labels are the graph's own
}

TEST_F(LavfiPicToGifTest, Graphs) {
  struct Case {
    std::string name;
    std::vector<LavfiInputItem> inputs;
    std::string transform;
    std::string graph;
  };
  const std::string a = "movie='a.png'[out0]";
  const std::string hi = "drawtext=text='Hi'[out0]";
  const Case cases[] = {
      {"one picture, empty transform", {graphItem(a, 1)}, "", "movie='a.png'[v0],[v0]concat=n=1" + kPalette},
      {"empty transform: the texts follow concat",
       {graphItem(a, 1), graphItem(hi)},
       "",
       "movie='a.png'[v0],[v0]concat=n=1,drawtext=text='Hi'" + kPalette},
      {"unmatched setpts stands before the texts",
       {graphItem(a, 1), graphItem(hi)},
       "setpts=0.5*PTS",
       "movie='a.png'[v0],[v0]concat=n=1,setpts=0.5*PTS,drawtext=text='Hi'" + kPalette},
      {"rate alone follows the texts",
       {graphItem(a, 1), graphItem(hi)},
       "setpts=2*PTS,",
       "movie='a.png'[v0],[v0]concat=n=1,drawtext=text='Hi',setpts=2*PTS" + kPalette},
      {"trimmed filter text", {graphItem(a, 1)}, " , fps=10 , ", "movie='a.png'[v0],[v0]concat=n=1,fps=10" + kPalette},
      {"only the head of a picture graph",
       {graphItem("movie='a.png',scale=100:100[out0];amovie='x'[out1]", 1)},
       "",
       "movie='a.png',scale=100:100[v0],[v0]concat=n=1" + kPalette},
      {"files and other items are passed over",
       {{1, "c.png", "", 7},
        graphItem("amovie='x.mp3'[out0]", 7),
        graphItem(a, 1),
        graphItem("movie='b.png'", 2),
        graphItem("MOVIE='z.png'[out0]", 7)},
       "",
       "movie='a.png'[v0],movie='b.png'[v1],[v0][v1]concat=n=2" + kPalette},
  };
  for (const Case& c : cases) {
    const LavfiResult result = run(c.inputs, c.transform);
    EXPECT_EQ(result.graph, c.graph) << c.name;
  }
}

TEST_F(LavfiPicToGifTest, InputFilesOfEveryEarlierGraph) {
  const LavfiResult result = run({{1, "/m/c.png", "", 1},
                                  graphItem("movie='/m/a.png'[out0]", 1),
                                  graphItem("amovie='/m/x.mp3'[out0]"),
                                  graphItem("movie='/m/a.png'[out0]", 1)},
                                 "");
  EXPECT_EQ(result.inputFiles, (std::vector<std::string>{"/m/a.png", "/m/x.mp3"}));
}

TEST_F(LavfiPicToGifTest, NoPictureGivesTheEmptyGraphWithoutError) {
  const LavfiResult result = run({graphItem("drawtext=text='Hi'[out0]", 4), {1, "a.png", "", 3}}, "fps=10");
  EXPECT_TRUE(result.graph.empty());
  ASSERT_EQ(parser.durations.count(""), 1u);
  EXPECT_EQ(parser.durations.at(""), 0.0);
  EXPECT_TRUE(log.lines().empty()) << log.joined();
}

// Everything here lands in the graph, which the command holds in double quotes.
TEST_F(LavfiPicToGifTest, DoubleQuotesAreRefused) {
  const std::vector<std::pair<std::vector<LavfiInputItem>, std::string>> requests = {
      {{graphItem("movie='a.png'[out0]", 1)}, "drawtext=text=\"x\""},
      {{graphItem("movie='a.png'[out0]", 1), graphItem("drawtext=text='a\"b'[out0]")}, ""},
      {{graphItem("movie='a\".png'[out0]", 1)}, ""},
  };
  for (const auto& [inputs, transform] : requests) {
    LogCapture caseLog;
    const LavfiResult result = run(inputs, transform);
    EXPECT_TRUE(result.graph.empty()) << transform;
    EXPECT_FALSE(caseLog.lines().empty());
  }
  EXPECT_TRUE(parser.durations.empty());
}

// End to end: two pictures, each looped to one second, with a text overlay;
// the GIF lasts as long as the stored duration says.
TEST(LavfiPicToGifRun, GifFromTwoPictures) {
  test::TempDir dir;
  std::vector<LavfiInputItem> inputs;
  for (const char* name : {"a.png", "b.png"}) {
    const std::string picture = dir.file(name);
    test::ClipSpec recipe;
    recipe.audio = false;
    recipe.extraArgs = {"-frames:v", "1"};
    test::makeClip(picture, recipe);
    inputs.push_back({2, "movie='" + picture + "',loop=loop=9:size=1:start=0,setpts=N/10/TB[out0]", "", 1});
  }
  inputs.push_back({2, "drawtext=text='Hi':fontsize=20:fontcolor=white:x=4:y=4[out0]", "", 0});

  test::RealEngine engine(dir.path());
  const test::ProcessOutcome outcome = engine.process("PICTURETOGIF", inputs, "fps=10,scale=80:-1");
  ASSERT_EQ(outcome.errorCode, 0) << outcome.reply;
  EXPECT_EQ(outcome.fileNums, 2);
  EXPECT_TRUE(outcome.graph.ends_with(kPalette)) << outcome.graph;
  EXPECT_EQ(engine.durationOf(outcome.graph), 2.0);

  const std::string out = dir.file("out.gif");
  const CapturedRun run = test::runGraph(outcome.graph, {"[out0]"}, out);
  ASSERT_EQ(run.exitCode, 0) << run.output;
  const test::ProbeInfo info = test::probe(out);
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_EQ(info.codecNames, std::vector<std::string>{"gif"});
  EXPECT_EQ(info.width, 80);
  EXPECT_EQ(info.height, 60);
  EXPECT_NEAR(info.duration, 2.0, 0.15);
}

}  // namespace
}  // namespace qel
