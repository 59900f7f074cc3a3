// The shared source-graph builder and the common steps of LavfiBase, checked
// as text: canned probe answers stand in for media files.
#include "operations/source_graph.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/text_helpers.h"
#include "operations/lavfi_base.h"
#include "support/operation_test_helpers.h"
#include "operations/operation_registry.h"

namespace qel {
namespace {

using test::LogCapture;

SourceProbe streams(double video, double audio) {
  SourceProbe probe;
  probe.video = video;
  probe.audio = audio;
  return probe;
}

SourceGraphSpec wholeInput(double duration) {
  SourceGraphSpec recipe;
  recipe.trim = TrimForm::WholeInput;
  recipe.duration = duration;
  return recipe;
}

std::string build(const std::string& path, const SourceProbe& probe, const SourceGraphSpec& recipe) {
  const std::optional<std::string> graph = buildSourceGraph(path, probe, recipe);
  return graph.value_or("<refused>");
}

TEST(SourceGraph, WholeInputOfAFileWithVideoAndAudio) {
  EXPECT_EQ(build("C:\\clips\\a.mp4", streams(12.5, 12.5), wholeInput(12.5)),
            "movie='C\\:/clips/a.mp4',trim=0:12.5,setpts=PTS-STARTPTS[out0];"
            "amovie='C\\:/clips/a.mp4',atrim=0:12.5,asetpts=PTS-STARTPTS[out1]");
}

TEST(SourceGraph, Variations) {
  struct Case {
    const char* what;
    std::string path;
    SourceProbe probe;
    SourceGraphSpec recipe;
    std::string expected;
  };
  SourceProbe firstSub = streams(10, 10);
  firstSub.hasSubtitle = true;
  SourceProbe secondSub = firstSub;
  secondSub.subtitleIndex = 1;
  SourceGraphSpec noSubs = wholeInput(10);
  noSubs.subtitleClause = false;
  SourceGraphSpec filters = wholeInput(3600);
  filters.videoFilter = "crop=640:360:0:0";
  filters.audioFilter = "volume=2";
  filters.videoSourceOptions = ":loop=0";
  filters.audioSourceOptions = ":si=1";
  SourceGraphSpec cut;
  cut.trim = TrimForm::CutRange;
  cut.cutStart = "1.5";
  cut.cutEnd = "4";
  SourceGraphSpec filler = wholeInput(1234567);
  filler.blackFiller = true;
  SourceGraphSpec silent = wholeInput(5);
  silent.silentAudio = "anullsrc=cl=stereo:r=44100:duration=5";
  SourceGraphSpec gate = wholeInput(5);
  gate.extensionGate = true;
  const Case cases[] = {
      {"first subtitle stream needs no si", "C:\\v\\a.mp4", firstSub, wholeInput(10),
       "movie='C\\:/v/a.mp4',subtitles='C\\:/v/a.mp4',trim=0:10,setpts=PTS-STARTPTS[out0];"
       "amovie='C\\:/v/a.mp4',atrim=0:10,asetpts=PTS-STARTPTS[out1]"},
      {"second subtitle stream", "C:\\v\\a.mp4", secondSub, wholeInput(10),
       "movie='C\\:/v/a.mp4',subtitles='C\\:/v/a.mp4':si=1,trim=0:10,setpts=PTS-STARTPTS[out0];"
       "amovie='C\\:/v/a.mp4',atrim=0:10,asetpts=PTS-STARTPTS[out1]"},
      {"subtitle clause off", "C:\\v\\a.mp4", secondSub, noSubs,
       "movie='C\\:/v/a.mp4',trim=0:10,setpts=PTS-STARTPTS[out0];"
       "amovie='C\\:/v/a.mp4',atrim=0:10,asetpts=PTS-STARTPTS[out1]"},
      {"audio only: one output, no separator", "/m/a.mp3", streams(0, 8), wholeInput(8), "amovie='/m/a.mp3'[out0]"},
      {"video only: no trim, no audio chain", "/m/a.mp4", streams(8, 0), wholeInput(8), "movie='/m/a.mp4'[out0]"},
      {"quote in a drive path", "D:\\my'clip.mp4", streams(5, 0), wholeInput(5),
       "movie='D\\:/my'\\\\\\''clip.mp4'[out0]"},
      {"tiny video next to audio: chain without trim", "/m/a.mp4", streams(0.0005, 10), wholeInput(10),
       "movie='/m/a.mp4'[out0];amovie='/m/a.mp4'[out1]"},
      {"filters, options and the stream form of D", "/m/a.mp4", streams(9, 9), filters,
       "movie='/m/a.mp4':loop=0,trim=0:3600,setpts=PTS-STARTPTS,crop=640:360:0:0[out0];"
       "amovie='/m/a.mp4':si=1,atrim=0:3600,asetpts=PTS-STARTPTS,volume=2[out1]"},
      {"cut range even for one stream", "/m/a.mp4", streams(9, 0), cut,
       "movie='/m/a.mp4',trim=1.5:4,setpts=PTS-STARTPTS[out0]"},
      {"black filler for a file without video", "/m/a.mp3", streams(0, 9), filler,
       "color=black:duration=1.23457e+06[out0];amovie='/m/a.mp3',atrim=0:1.23457e+06,asetpts=PTS-STARTPTS[out1]"},
      {"silent audio for a file without audio", "/m/a.mp4", streams(5, 0), silent,
       "movie='/m/a.mp4'[out0];anullsrc=cl=stereo:r=44100:duration=5[out1]"},
      {"extension gate keeps a video extension", "/m/A.MKV", streams(5, 5), gate,
       "movie='/m/A.MKV',trim=0:5,setpts=PTS-STARTPTS[out0];amovie='/m/A.MKV',atrim=0:5,asetpts=PTS-STARTPTS[out1]"},
      {"extension gate drops video of a picture", "/m/a.gif", streams(5, 0), gate, ""},
      {"extension gate on a song", "/m/a.mp3", streams(5, 5), gate, "amovie='/m/a.mp3'[out0]"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(build(c.path, c.probe, c.recipe), c.expected) << c.what;
  }
}

TEST(SourceGraph, PathWithDoubleQuoteIsRefused) {
  EXPECT_FALSE(buildSourceGraph("/m/a\"b.mp4", streams(5, 5), wholeInput(5)).has_value());
}

TEST(SourceGraph, StreamNumberForm) {
  EXPECT_EQ(doubleToString(12.5), "12.5");
  EXPECT_EQ(doubleToString(12.3456789), "12.3457");
  EXPECT_EQ(doubleToString(3600), "3600");
  EXPECT_EQ(doubleToString(3723.456), "3723.46");
  EXPECT_EQ(doubleToString(1234567), "1.23457e+06");
  EXPECT_EQ(doubleToString(0.00001), "1e-05");
}

TEST(SourceGraph, FindChainEndingAtALabel) {
  const std::string graph = "movie='x'[s0];[s0]scale=1280:720[out0];amovie='x'[out1]";
  const std::optional<ChainSpan> video = findChainEndingAt(graph, "[out0]");
  ASSERT_TRUE(video);
  EXPECT_EQ(video->body(graph), "[s0]scale=1280:720");
  EXPECT_EQ(video->withSeparator(graph), ";[s0]scale=1280:720");
  const std::optional<ChainSpan> first = findChainEndingAt("movie='x',hflip[out0]", "[out0]");
  ASSERT_TRUE(first);
  EXPECT_EQ(first->begin, 0u);
  EXPECT_EQ(first->body("movie='x',hflip[out0]"), "movie='x',hflip");
  EXPECT_FALSE(findChainEndingAt("movie='x'[v0]", "[out0]"));
  const std::optional<ChainSpan> atStart = findChainEndingAt("[out0]", "[out0]");
  ASSERT_TRUE(atStart);
  EXPECT_EQ(atStart->body("[out0]"), "");
}

TEST(SourceGraph, PlaceFilter) {
  std::string graph = "movie='x'[s0];[s0]scale=1280:720[out0];amovie='x'[out1]";
  EXPECT_EQ(placeFilter(graph, "[out0]", "crop=100:100:10:10", {",crop="}), Placement::Inserted);
  EXPECT_EQ(graph, "movie='x'[s0];[s0]scale=1280:720,crop=100:100:10:10[out0];amovie='x'[out1]");

  // A marker in an earlier chain does not count.
  std::string other = "movie='x',crop=1:1:0:0[s0];[s0]hflip[out0]";
  EXPECT_EQ(placeFilter(other, "[out0]", "crop=2:2:0:0", {",crop="}), Placement::Inserted);
  EXPECT_EQ(other, "movie='x',crop=1:1:0:0[s0];[s0]hflip,crop=2:2:0:0[out0]");

  std::string marked = "movie='x',crop=1:1:0:0[out0]";
  EXPECT_EQ(placeFilter(marked, "[out0]", "crop=2:2:0:0", {",crop="},
                        [](std::string& g) {
                          g = "merged";
                          return true;
                        }),
            Placement::Merged);
  EXPECT_EQ(marked, "merged");
  std::string refused = "movie='x',crop=1:1:0:0[out0]";
  EXPECT_EQ(placeFilter(refused, "[out0]", "crop=2:2:0:0", {",crop="}), Placement::MergeFailed);
  EXPECT_EQ(refused, "movie='x',crop=1:1:0:0[out0]");
  std::string noLabel = "amovie='x'[a0]";
  EXPECT_EQ(placeFilter(noLabel, "[out0]", "hflip", {}), Placement::NoLabel);
  EXPECT_EQ(noLabel, "amovie='x'[a0]");
}

TEST(SourceGraph, ChainFiltersOntoEarlierGraphs) {
  struct Case {
    std::string graph;
    bool video;
    bool audio;
    std::string videoFilter;
    std::string audioFilter;
    std::string expected;
  };
  const Case cases[] = {
      {"movie='x'[out0];amovie='x'[out1]", true, true, "hflip", "", "movie='x',hflip[out0];amovie='x'[out1]"},
      {"movie='x'[out0];amovie='x'[out1]", true, true, "hflip", "volume=2",
       "movie='x',hflip[out0];amovie='x',volume=2[out1]"},
      {"amovie='x'[out0]", false, true, "hflip", "volume=2", "amovie='x',volume=2[out0]"},
      {"movie='x'[out0]", true, false, "", "volume=2", "movie='x'[out0]"},
  };
  for (const Case& c : cases) {
    std::string graph = c.graph;
    chainFilters(graph, c.video, c.audio, c.videoFilter, c.audioFilter);
    EXPECT_EQ(graph, c.expected) << c.graph;
  }
}

// A crop-like operation written with the common steps, to check them as a whole.
class CommonOperation : public LavfiBase {
 public:
  const char* name() const override { return "common"; }
  LavfiResult process(LavfiParser& parser, LavfiOperationDesc& desc) const override {
    CommonPattern pattern;
    pattern.opening.emptyLine = alone ? 0 : 20;
    pattern.opening.noOutputsLine = 46;
    pattern.opening.needs = needs;
    pattern.opening.noStreamLine = 74;
    pattern.source.videoFilter = desc.transform;
    pattern.source.trim = TrimForm::WholeInput;
    pattern.chainOnto = [&desc](std::string& graph, bool hasVideo, bool) {
      if (hasVideo) placeFilter(graph, "[out0]", desc.transform, {",crop="});
    };
    return processCommon(parser, desc, pattern);
  }
  bool alone = true;
  OpeningRules::Needs needs = OpeningRules::Needs::Video;
};

class CommonStepsTest : public ::testing::Test {
 protected:
  LavfiResult run(std::vector<LavfiInputItem> inputs, const std::string& transform = "crop=640:360:0:0") {
    LavfiOperationDesc desc{transform, "", "common", std::move(inputs)};
    return operation.process(parser, desc);
  }
  LavfiParser parser{makeOperationRegistry()};
  CommonOperation operation;
  LogCapture log;
};

TEST_F(CommonStepsTest, FileInputWritesTheSourceGraphAndItsDuration) {
  test::serveProbe(parser, test::fakeMedia(10, 10));
  const LavfiResult result = run({{1, "C:\\v\\a.mp4", "-ss 3", 10}});
  EXPECT_EQ(result.graph,
            "movie='C\\:/v/a.mp4',trim=0:10,setpts=PTS-STARTPTS,crop=640:360:0:0[out0];"
            "amovie='C\\:/v/a.mp4',atrim=0:10,asetpts=PTS-STARTPTS[out1]");
  EXPECT_TRUE(result.cmd.empty());
  EXPECT_EQ(parser.durationOf(result.graph), 10.0);
}

TEST_F(CommonStepsTest, SubtitleStreamFromTheProbe) {
  test::serveProbe(parser, test::fakeProbeJson(
                               {{"video", "h264", "10"}, {"subtitle", "ass", "10"}, {"subtitle", "mov_text", "10"}}));
  EXPECT_EQ(run({{1, "/m/a.mp4", "", 10}}).graph, "movie='/m/a.mp4',subtitles='/m/a.mp4':si=1,crop=640:360:0:0[out0]");
  test::serveProbe(parser, test::fakeProbeJson({{"video", "h264", "10"}, {"subtitle", "mov_text", "0"}}));
  EXPECT_EQ(run({{1, "/m/a.mp4", "", 10}}).graph, "movie='/m/a.mp4',crop=640:360:0:0[out0]");
}

TEST_F(CommonStepsTest, Refusals) {
  {
    LogCapture caseLog;
    EXPECT_TRUE(run({}).graph.empty());
    EXPECT_TRUE(caseLog.has("inputs is empety"));
  }
  {
    operation.alone = false;
    LogCapture caseLog;
    run({});
    EXPECT_TRUE(caseLog.has("[process,20]:inputs is empety"));
  }
  {
    LogCapture caseLog;
    test::serveProbe(parser, test::fakeMedia(0, 10));
    EXPECT_TRUE(run({{1, "/m/a.mp3", "", 10}}).graph.empty());
    EXPECT_TRUE(caseLog.has("[process,74]:no video stream: /m/a.mp3"));
  }
  {
    operation.needs = OpeningRules::Needs::AnyStream;
    LogCapture caseLog;
    test::serveProbe(parser, test::fakeMedia(0.0005, 0));
    EXPECT_TRUE(run({{1, "/m/a.mp4", "", 10}}).graph.empty());
    EXPECT_TRUE(caseLog.has("[process,74]:no audio, no video stream: /m/a.mp4"));
  }
  {
    LogCapture caseLog;
    EXPECT_TRUE(run({{2, "movie='x'[v0]", "", 10}}).graph.empty());
    EXPECT_TRUE(caseLog.has("[process,46]:no audio, no video stream: movie='x'[v0]"));
  }
  EXPECT_TRUE(parser.durations.empty());
}

TEST_F(CommonStepsTest, EarlierGraphsAreChainedAtTheirLabels) {
  const LavfiResult result =
      run({{2, "movie='x'[s0];[s0]scale=1280:720[out0];amovie='x'[out1]", "", 6}}, "crop=100:100:10:10");
  EXPECT_EQ(result.graph, "movie='x'[s0];[s0]scale=1280:720,crop=100:100:10:10[out0];amovie='x'[out1]");
  EXPECT_EQ(parser.durationOf(result.graph), 6.0);

  // Audio only passes unchanged, recorded again under the same text.
  const std::string audio = "amovie='x',volume=2[out0]";
  parser.setDuration(audio, 1.0);
  EXPECT_EQ(run({{2, audio, "", 4}}).graph, audio);
  EXPECT_EQ(parser.durationOf(audio), 4.0);
}

TEST_F(CommonStepsTest, InputFilesAreCollectedOnce) {
  std::vector<std::string> files;
  operation.collectInputFiles(parser, {1, "/m/a.mp4", "", 1}, files);
  operation.collectInputFiles(parser, {1, "/m/a.mp4", "", 1}, files);
  operation.collectInputFiles(parser, {1, "", "", 1}, files);
  EXPECT_EQ(files, std::vector<std::string>{"/m/a.mp4"});

  // A graph the parser produced contributes its remembered files...
  parser.inputFiles["G"] = {"/m/b.mp4", "/m/a.mp4"};
  operation.collectInputFiles(parser, {2, "G", "", 1}, files);
  EXPECT_EQ(files, (std::vector<std::string>{"/m/a.mp4", "/m/b.mp4"}));
  // ...one it never produced, what its text names.
  operation.collectInputFiles(parser, {2, "movie='/m/c.mp4'[out0];amovie='/m/c.mp4'[out1]", "", 1}, files);
  EXPECT_EQ(files, (std::vector<std::string>{"/m/a.mp4", "/m/b.mp4", "/m/c.mp4"}));
}

// An operation that only opens its first input and notes, in order, the
// checks, the probe and what the opening found.
class OpeningOperation : public LavfiBase {
 public:
  const char* name() const override { return "opening"; }
  LavfiResult process(LavfiParser& parser, LavfiOperationDesc& desc) const override {
    OpeningRules rules;
    rules.needs = needs;
    rules.requireOutputs = requireOutputs;
    rules.probeFile = probeFile;
    rules.checkRequest = [this] {
      steps.push_back("request");
      return requestPasses;
    };
    rules.checkGathered = [this](LavfiResult& result) {
      steps.push_back("gathered " + std::to_string(result.inputFiles.size()));
      return gatheredPasses;
    };
    LavfiResult result;
    const std::optional<OpenedInput> opened = openFirstInput(parser, desc, rules, result);
    if (opened) {
      steps.push_back(std::string("opened") + (opened->hasVideo ? " video" : "") + (opened->hasAudio ? " audio" : ""));
    }
    return result;
  }
  OpeningRules::Needs needs = OpeningRules::Needs::AnyStream;
  bool requireOutputs = true;
  bool probeFile = true;
  bool requestPasses = true;
  bool gatheredPasses = true;
  mutable std::vector<std::string> steps;
};

TEST(Opening, ChecksGatheringAndProbeComeInOrder) {
  using Needs = OpeningRules::Needs;
  struct Case {
    const char* name;
    std::vector<LavfiInputItem> inputs;
    std::string probe;  // what ffprobe answers
    bool requestPasses;
    bool gatheredPasses;
    Needs needs;
    bool requireOutputs;
    bool probeFile;
    std::vector<std::string> steps;
    std::size_t files;
  };
  const std::string both = test::fakeMedia(5, 5);
  const std::string audioOnly = test::fakeMedia(0, 5);
  const LavfiInputItem file{1, "/m/a.mp4", "", 5};
  const LavfiInputItem song{1, "/m/a.mp3", "", 5};
  const LavfiInputItem graph{2, "movie='/m/a.mp4'[out0];amovie='/m/a.mp4'[out1]", "", 5};
  const LavfiInputItem unlabelled{2, "movie='/m/a.mp4'[v0]", "", 5};
  const std::vector<Case> cases = {
      {"no inputs", {}, both, true, true, Needs::AnyStream, true, true, {}, 0},
      {"request refused", {file}, both, false, true, Needs::AnyStream, true, true, {"request"}, 0},
      {"refused once gathered", {file}, both, true, false, Needs::AnyStream, true, true, {"request", "gathered 1"}, 1},
      {"file",
       {file},
       both,
       true,
       true,
       Needs::AnyStream,
       true,
       true,
       {"request", "gathered 1", "probe /m/a.mp4", "opened video audio"},
       1},
      {"file without the video it needs",
       {song},
       audioOnly,
       true,
       true,
       Needs::Video,
       true,
       true,
       {"request", "gathered 1", "probe /m/a.mp3"},
       1},
      {"file the operation checks itself",
       {song},
       audioOnly,
       true,
       true,
       Needs::Nothing,
       true,
       true,
       {"request", "gathered 1", "probe /m/a.mp3", "opened audio"},
       1},
      {"file left unprobed",
       {file},
       both,
       true,
       true,
       Needs::AnyStream,
       true,
       false,
       {"request", "gathered 1", "opened"},
       1},
      {"earlier graph",
       {graph},
       both,
       true,
       true,
       Needs::AnyStream,
       true,
       true,
       {"request", "gathered 1", "opened video audio"},
       1},
      {"earlier graph without outputs",
       {unlabelled},
       both,
       true,
       true,
       Needs::AnyStream,
       true,
       true,
       {"request", "gathered 1"},
       1},
      {"earlier graph taken as it is",
       {unlabelled},
       both,
       true,
       true,
       Needs::AnyStream,
       false,
       true,
       {"request", "gathered 1", "opened"},
       1},
  };
  for (const Case& c : cases) {
    LavfiParser parser{makeOperationRegistry()};
    OpeningOperation operation;
    operation.requestPasses = c.requestPasses;
    operation.gatheredPasses = c.gatheredPasses;
    operation.needs = c.needs;
    operation.requireOutputs = c.requireOutputs;
    operation.probeFile = c.probeFile;
    parser.setProbeRunner([&operation, &c](const std::string& path) {
      operation.steps.push_back("probe " + path);
      return c.probe;
    });
    LavfiOperationDesc desc{"", "", "opening", c.inputs};
    const LavfiResult result = operation.process(parser, desc);
    EXPECT_EQ(operation.steps, c.steps) << c.name;
    EXPECT_EQ(result.inputFiles.size(), c.files) << c.name;
  }
}

}  // namespace
}  // namespace qel
