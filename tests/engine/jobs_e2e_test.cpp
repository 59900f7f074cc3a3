// Whole jobs through the exports: "process" requests build graphs, tasks run
// them with the real ffmpeg on tiny generated clips, and ffprobe checks what
// came out.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "qelapi.h"
#include "engine_test_util.h"
#include "task_events.h"

namespace qel::test {
namespace {

namespace fs = std::filesystem;

bool exists(const std::string& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

class JobsTest : public testing::Test {
 protected:
  void SetUp() override {
    handle_ = initEngineWithLog("debug");
    ASSERT_NE(handle_, nullptr);
    taskEvents().attach(handle_);
  }
  void TearDown() override { qelapi_un_init(handle_); }

  // Submits the task, waits for its completion and checks the common end: one
  // completion, after the last report.
  std::vector<StateReport> run(uint64_t id, const std::string& request) {
    EXPECT_EQ(submitTask(handle_, id, request), 0) << request;
    EXPECT_TRUE(taskEvents().waitForCompletion(id)) << request;
    auto events = taskEvents().events(id);
    EXPECT_FALSE(events.empty());
    if (!events.empty()) {
      EXPECT_TRUE(events.back().completion) << "the completion comes last";
    }
    EXPECT_EQ(taskEvents().completions(id), 1);
    return taskEvents().reports(id);
  }

  void* handle_ = nullptr;
  TempDir dir_;
};

// ---- A convert submitted as a task --------------------------------------------

enum class GraphPlace { AsInput, InTransform };

void PrintTo(GraphPlace place, std::ostream* os) {
  *os << (place == GraphPlace::AsInput ? "graph as input" : "graph in transform");
}

struct ConvertCase {
  const char* name;
  const char* transform;      // of the first convert
  const char* outputConfig;
  const char* secondTransform;  // a second convert on the first one's graph, or null
  int videoStreams;
  int audioStreams;
  int width;  // of the video stream, when there is one
  int height;
};

const ConvertCase kConvertCases[] = {
    {"Scale", "-vf scale=80:60", "", nullptr, 1, 1, 80, 60},
    {"AudioOnly", "-vf scale=80:60", "-vn", nullptr, 0, 1, 0, 0},
    {"VideoOnly", "-vf scale=80:60", "-map_channel -1", nullptr, 1, 0, 80, 60},
    {"SecondSizeWins", "-vf scale=80:60", "", "-vf scale=120:90", 1, 1, 120, 90},
};

void PrintTo(const ConvertCase& c, std::ostream* os) { *os << c.name; }

class ConvertTaskTest
    : public JobsTest,
      public testing::WithParamInterface<std::tuple<ConvertCase, GraphPlace>> {};

TEST_P(ConvertTaskTest, GivesTheExpectedStreamsAndLeavesTheInputAlone) {
  const auto& [c, place] = GetParam();
  const std::string clip = dir_.file("in.mp4");
  makeClip(clip, clipOf(1.0));
  const std::string before = readFile(clip);

  std::string graph =
      processGraph(handle_, "convert", {processInput(1, clip, 1.0)}, c.transform, c.outputConfig);
  ASSERT_FALSE(graph.empty());
  if (c.secondTransform != nullptr) {
    graph = processGraph(handle_, "convert", {processInput(2, graph, 1.0)}, c.secondTransform,
                         c.outputConfig);
    ASSERT_FALSE(graph.empty());
  }

  const std::string out = dir_.file("out.mp4");
  const std::string operation =
      place == GraphPlace::AsInput
          ? taskOperation({ioItem(2, graph)}, "", {ioItem(1, out)})
          : taskOperation({ioItem(1, clip)}, "-filter_complex \"" + graph + "\"", {ioItem(1, out)});
  const uint64_t id = nextTaskId();
  auto reports = run(id, taskRequest({operation}));
  ASSERT_FALSE(reports.empty());
  EXPECT_FALSE(reports.back().error) << reports.back().text;
  EXPECT_EQ(reports.back().progress, 100);
  EXPECT_EQ(reports.back().outputs, std::vector<std::string>{out});

  ProbeInfo info = probe(out);
  ASSERT_TRUE(info.ok) << info.error;
  SCOPED_TRACE(graph + "\n" + loggedCommands(sharedLogFile(), id));
  EXPECT_EQ(info.count("video"), c.videoStreams);
  EXPECT_EQ(info.count("audio"), c.audioStreams);
  if (c.videoStreams > 0) {
    EXPECT_EQ(info.width, c.width);
    EXPECT_EQ(info.height, c.height);
  }
  EXPECT_NEAR(info.duration, 1.0, 0.25);
  EXPECT_EQ(readFile(clip), before) << "the input file must be byte-identical";
}

INSTANTIATE_TEST_SUITE_P(
    Convert, ConvertTaskTest,
    testing::Combine(testing::ValuesIn(kConvertCases),
                     testing::Values(GraphPlace::AsInput, GraphPlace::InTransform)),
    [](const testing::TestParamInfo<ConvertTaskTest::ParamType>& info) {
      return std::string(std::get<0>(info.param).name) +
             (std::get<1>(info.param) == GraphPlace::AsInput ? "_GraphAsInput" : "_GraphInTransform");
    });

// ---- Plain operations -----------------------------------------------------------

TEST_F(JobsTest, OneOperationWithInputSeekAndScale) {
  const std::string clip = dir_.file("in.mkv");
  makeClip(clip, clipOf(2.0));
  const std::string before = readFile(clip);
  const std::string out = dir_.file("out.mp4");

  const uint64_t id = nextTaskId();
  auto reports = run(id, taskRequest({taskOperation({ioItem(1, clip, "-ss 0.5")}, "-vf scale=80:60",
                                                    {ioItem(1, out)})}));
  ASSERT_FALSE(reports.empty());
  EXPECT_EQ(reports.front().totalPhase, 1);
  EXPECT_EQ(reports.front().estimateTime, "00:00:02") << "probed length of the input";
  EXPECT_FALSE(reports.back().error) << reports.back().text;
  EXPECT_EQ(reports.back().progress, 100);

  ProbeInfo info = probe(out);
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_EQ(info.count("video"), 1);
  EXPECT_EQ(info.count("audio"), 1);
  EXPECT_EQ(info.width, 80);
  EXPECT_EQ(info.height, 60);
  EXPECT_NEAR(info.duration, 1.5, 0.2);
  EXPECT_EQ(readFile(clip), before);
}

// A chain through an intermediate: merged into one ffmpeg run when the filters
// allow it (the intermediate never reaches the disk), else two runs whose
// intermediate is gone by the time the completion arrives.
struct ChainCase {
  const char* name;
  const char* secondTransform;
  int commands;
  int width;
  int height;
};

void PrintTo(const ChainCase& c, std::ostream* os) { *os << c.name; }

class ChainTest : public JobsTest, public testing::WithParamInterface<ChainCase> {};

TEST_P(ChainTest, IntermediateNeverOutlivesTheTask) {
  const ChainCase& c = GetParam();
  const std::string clip = dir_.file("in.mp4");
  makeClip(clip, clipOf(1.0));
  const std::string before = readFile(clip);
  const std::string intermediate = dir_.file("work/mid.mp4");
  const std::string out = dir_.file("out.mkv");

  bool intermediateAtCompletion = true;
  taskEvents().onComplete([&](void*, uint64_t) { intermediateAtCompletion = exists(intermediate); });
  std::vector<int> phasesWithIntermediate;
  taskEvents().onProgress([&](void*, uint64_t, const StateReport& report) {
    if (exists(intermediate)) phasesWithIntermediate.push_back(report.currentPhase);
  });

  const uint64_t id = nextTaskId();
  auto reports = run(id, taskRequest({
                             taskOperation({ioItem(1, clip)}, "-vf scale=80:60", {ioItem(2, intermediate)}),
                             taskOperation({ioItem(2, intermediate)}, c.secondTransform, {ioItem(1, out)}),
                         }));
  ASSERT_FALSE(reports.empty());
  SCOPED_TRACE(loggedCommands(sharedLogFile(), id));
  for (const StateReport& report : reports) EXPECT_EQ(report.totalPhase, c.commands) << report.text;
  EXPECT_FALSE(reports.back().error) << reports.back().text;
  EXPECT_FALSE(intermediateAtCompletion) << "intermediate files go before the completion";
  EXPECT_FALSE(exists(intermediate));
  if (c.commands == 1) {
    EXPECT_TRUE(phasesWithIntermediate.empty()) << "a merged chain never writes the intermediate";
  } else {
    EXPECT_FALSE(phasesWithIntermediate.empty()) << "the first command writes the intermediate";
  }

  ProbeInfo info = probe(out);
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_EQ(info.count("video"), 1);
  EXPECT_EQ(info.width, c.width);
  EXPECT_EQ(info.height, c.height);
  EXPECT_EQ(readFile(clip), before);
}

INSTANTIATE_TEST_SUITE_P(Chains, ChainTest,
                         testing::Values(ChainCase{"FiltersMerge", "-vf crop=40:30:0:0", 1, 40, 30},
                                         ChainCase{"StreamCopySplits", "-c:v copy", 2, 80, 60}),
                         [](const testing::TestParamInfo<ChainCase>& info) { return info.param.name; });

}  // namespace
}  // namespace qel::test
