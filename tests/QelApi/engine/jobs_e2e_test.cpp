// Whole jobs through the exports: "process" requests build graphs, tasks run
// them with the real ffmpeg on tiny generated clips, and ffprobe checks what
// came out.
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "qelapi.h"
#include "commands/graph_join.h"
#include "common/subprocess.h"
#include "QelApi/engine/engine_test_util.h"
#include "support/task_events.h"

namespace qel::test {
namespace {

namespace fs = std::filesystem;

bool exists(const std::string& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

// The ffmpeg runs of a task: one logged command line each.
int commandsRun(uint64_t id) {
  const std::string lines = loggedCommands(sharedLogFile(), id);
  int count = 0;
  for (char c : lines) count += c == '\n' ? 1 : 0;
  return count;
}

// A "process" request through the export, its reply read back.
struct ProcessReply {
  bool parsed = false;
  bool error = true;
  int errorCode = -1;
  std::string output;
  int fileNums = -1;
};

ProcessReply processThroughExport(void* handle, const std::string& request) {
  ProcessReply reply;
  char* text = nullptr;
  const int result = qelapi_process_lavfi(handle, request.c_str(), &text);
  const std::string replyText = text != nullptr ? text : "";
  qelapi_free_str(nullptr, &text);
  if (result != 0) return reply;
  rapidjson::Document doc;
  doc.Parse(replyText.c_str());
  if (doc.HasParseError() || !doc.IsObject()) return reply;
  reply.parsed = true;
  if (doc.HasMember("error") && doc["error"].IsBool()) reply.error = doc["error"].GetBool();
  if (doc.HasMember("errorCode") && doc["errorCode"].IsInt()) reply.errorCode = doc["errorCode"].GetInt();
  if (doc.HasMember("operation") && doc["operation"].IsObject()) {
    const auto& operation = doc["operation"];
    if (operation.HasMember("output") && operation["output"].IsString()) reply.output = operation["output"].GetString();
    if (operation.HasMember("fileNums") && operation["fileNums"].IsInt())
      reply.fileNums = operation["fileNums"].GetInt();
  }
  return reply;
}

class JobsTest : public EngineTaskTest {
 protected:
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
};

// ---- "process" requests -------------------------------------------------------

TEST_F(JobsTest, ProcessRequestsThroughTheExport) {
  const std::string clip = dir_.file("in.mp4");
  makeClip(clip, clipOf(1.0));

  const std::string convert = R"({"sid":4,"operation":{"input":[{"type":1,"value":")" + clip +
                              R"(","duration":1}],"transform":"-vf scale=80:60","description":"convert"}})";
  ProcessReply reply = processThroughExport(handle_, convert);
  ASSERT_TRUE(reply.parsed);
  EXPECT_FALSE(reply.error);
  EXPECT_EQ(reply.errorCode, 0);
  EXPECT_EQ(reply.output, "movie='" + clip + "',trim=0:1,setpts=PTS-STARTPTS,scale=80:60[out0];amovie='" + clip +
                              "',atrim=0:1,asetpts=PTS-STARTPTS[out1]");
  EXPECT_EQ(reply.fileNums, 1);

  reply = processThroughExport(handle_,
                               R"({"sid":5,"operation":{"input":[],"transform":"","description":"noSuchOperation"}})");
  EXPECT_TRUE(reply.error);
  EXPECT_EQ(reply.errorCode, 6520);
  EXPECT_EQ(reply.output, "");
  EXPECT_GE(countInLog("]:Output cmd is empty, may be the feature is not implemented or that the analysis "
                       "fails. [noSuchOperation]"),
            1);

  // Malformed and wrong-typed requests: the failure reply, never a crash.
  const std::string wrongTyped[] = {
      "",
      "not json",
      "[1,2]",
      R"({"operation":"convert"})",
      R"({"operation":{"input":{},"transform":"","description":"convert"}})",
      R"({"operation":{"input":[5],"transform":"","description":"convert"}})",
      R"({"operation":{"input":[{"type":"1","value":"a","duration":1}],"transform":"","description":"convert"}})",
      R"({"operation":{"input":[{"type":1,"value":7,"duration":1}],"transform":"","description":"convert"}})",
      R"({"operation":{"input":[{"type":1,"value":"a","duration":1}],"transform":3,"description":"convert"}})",
      R"({"operation":{"input":[{"type":1,"value":"a","duration":1}],"transform":"","description":null}})",
  };
  for (const std::string& request : wrongTyped) {
    reply = processThroughExport(handle_, request);
    EXPECT_TRUE(reply.parsed) << request;
    EXPECT_EQ(reply.errorCode, 6520) << request;
    EXPECT_EQ(reply.output, "") << request;
  }
}

// ---- A convert submitted as a task --------------------------------------------

enum class GraphPlace { AsInput, InTransform };

void PrintTo(GraphPlace place, std::ostream* os) {
  *os << (place == GraphPlace::AsInput ? "graph as input" : "graph in transform");
}

struct ConvertCase {
  const char* name;
  const char* transform;  // of the first convert
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

class ConvertTaskTest : public JobsTest, public testing::WithParamInterface<std::tuple<ConvertCase, GraphPlace>> {};

TEST_P(ConvertTaskTest, GivesTheExpectedStreamsAndLeavesTheInputAlone) {
  const auto& [c, place] = GetParam();
  const std::string clip = dir_.file("in.mp4");
  makeClip(clip, clipOf(1.0));
  const std::string before = readFile(clip);

  std::string graph = processGraph(handle_, "convert", {processInput(1, clip, 1.0)}, c.transform, c.outputConfig);
  ASSERT_FALSE(graph.empty());
  if (c.secondTransform != nullptr) {
    graph = processGraph(handle_, "convert", {processInput(2, graph, 1.0)}, c.secondTransform, c.outputConfig);
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

INSTANTIATE_TEST_SUITE_P(Convert, ConvertTaskTest,
                         testing::Combine(testing::ValuesIn(kConvertCases),
                                          testing::Values(GraphPlace::AsInput, GraphPlace::InTransform)),
                         [](const testing::TestParamInfo<ConvertTaskTest::ParamType>& param_info) {
                           return std::string(std::get<0>(param_info.param).name) +
                                  (std::get<1>(param_info.param) == GraphPlace::AsInput ? "_GraphAsInput"
                                                                                        : "_GraphInTransform");
                         });

// ---- Plain operations -----------------------------------------------------------

TEST_F(JobsTest, OneOperationWithInputSeekAndScale) {
  const std::string clip = dir_.file("in.mkv");
  makeClip(clip, clipOf(2.0));
  const std::string before = readFile(clip);
  const std::string out = dir_.file("out.mp4");

  const uint64_t id = nextTaskId();
  auto reports =
      run(id, taskRequest({taskOperation({ioItem(1, clip, "-ss 0.5")}, "-vf scale=80:60", {ioItem(1, out)})}));
  ASSERT_FALSE(reports.empty());
  EXPECT_EQ(loggedCommands(sharedLogFile(), id),
            fmt::format("****** task({}) index=0, -ss 0.5 -i \"{}\" -filter_complex scale=80:60  -movflags +faststart "
                        "-c:v libx264 \"{}\"\n",
                        id, clip, out));
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

// Watches an intermediate file through a task's callbacks: the phases whose
// reports saw it on disk, and whether it was still there at completion.
struct IntermediateWatch {
  explicit IntermediateWatch(std::string watched) : path(std::move(watched)) {
    taskEvents().onComplete([this](void*, uint64_t) { atCompletion = exists(this->path); });
    taskEvents().onProgress([this](void*, uint64_t, const StateReport& report) {
      if (exists(this->path)) phases.push_back(report.currentPhase);
    });
  }
  IntermediateWatch(const IntermediateWatch&) = delete;
  IntermediateWatch& operator=(const IntermediateWatch&) = delete;
  std::string path;
  bool atCompletion = true;
  std::vector<int> phases;
};

TEST_P(ChainTest, IntermediateNeverOutlivesTheTask) {
  const ChainCase& c = GetParam();
  const std::string clip = dir_.file("in.mp4");
  makeClip(clip, clipOf(1.0));
  const std::string before = readFile(clip);
  const std::string intermediate = dir_.file("work/mid.mp4");
  const std::string out = dir_.file("out.mkv");

  IntermediateWatch watch(intermediate);

  const uint64_t id = nextTaskId();
  auto reports = run(id, taskRequest({
                             taskOperation({ioItem(1, clip)}, "-vf scale=80:60", {ioItem(2, intermediate)}),
                             taskOperation({ioItem(2, intermediate)}, c.secondTransform, {ioItem(1, out)}),
                         }));
  ASSERT_FALSE(reports.empty());
  SCOPED_TRACE(loggedCommands(sharedLogFile(), id));
  for (const StateReport& report : reports) EXPECT_EQ(report.totalPhase, c.commands) << report.text;
  EXPECT_EQ(commandsRun(id), c.commands);
  EXPECT_FALSE(reports.back().error) << reports.back().text;
  EXPECT_FALSE(watch.atCompletion) << "intermediate files go before the completion";
  EXPECT_FALSE(exists(intermediate));
  if (c.commands == 1) {
    EXPECT_TRUE(watch.phases.empty()) << "a merged chain never writes the intermediate";
  } else {
    EXPECT_FALSE(watch.phases.empty()) << "the first command writes the intermediate";
  }

  ProbeInfo info = probe(out);
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_EQ(info.count("video"), 1);
  EXPECT_EQ(info.width, c.width);
  EXPECT_EQ(info.height, c.height);
  EXPECT_EQ(readFile(clip), before);
}

// The folders the plan made for the intermediate go with it, whether the
// chain merged (the intermediate never written) or not; a folder that was
// there before stays, empty as it was.
TEST_P(ChainTest, FoldersMadeForTheIntermediateGoWithIt) {
  const ChainCase& c = GetParam();
  const std::string clip = dir_.file("in.mp4");
  makeClip(clip, clipOf(1.0));
  fs::create_directory(dir_.file("old"));
  const std::string out = dir_.file("out.mkv");
  const std::vector<std::string> intermediates = {dir_.file("newdir/sub/mid.mp4"), dir_.file("old/sub/mid.mp4")};
  for (const std::string& intermediate : intermediates) {
    SCOPED_TRACE(intermediate);
    const uint64_t id = nextTaskId();
    auto reports = run(id, taskRequest({
                               taskOperation({ioItem(1, clip)}, "-vf scale=80:60", {ioItem(2, intermediate)}),
                               taskOperation({ioItem(2, intermediate)}, c.secondTransform, {ioItem(1, out)}),
                           }));
    ASSERT_FALSE(reports.empty());
    EXPECT_FALSE(reports.back().error) << reports.back().text;
    EXPECT_EQ(commandsRun(id), c.commands);
    EXPECT_EQ(probe(out).width, c.width);
    std::set<std::string> left;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir_.path())) {
      left.insert(entry.path().filename().string());
    }
    EXPECT_EQ(left, (std::set<std::string>{"in.mp4", "old", "out.mkv"}));
    EXPECT_TRUE(fs::is_empty(dir_.file("old")));
  }
}

INSTANTIATE_TEST_SUITE_P(Chains, ChainTest,
                         testing::Values(ChainCase{"FiltersMerge", "-vf crop=40:30:0:0", 1, 40, 30},
                                         ChainCase{"StreamCopySplits", "-c:v copy", 2, 80, 60}),
                         [](const testing::TestParamInfo<ChainCase>& param_info) { return param_info.param.name; });

// Two independent sources and an overlay reading both intermediates: merged
// into one ffmpeg run whose joining pads are numbered by the process-wide
// counter that starts at 4095.
TEST_F(JobsTest, ThreeOperationOverlayRunsAsOneCommand) {
  const std::string a = dir_.file("a.mp4");
  const std::string b = dir_.file("b.mp4");
  makeClip(a, clipOf(1.0));
  makeClip(b, clipOf(1.0));
  const std::string t1 = dir_.file("work/t1.mkv");
  const std::string t2 = dir_.file("work/t2.mkv");
  const std::string out = dir_.file("out.mp4");

  const uint64_t id = nextTaskId();
  auto reports =
      run(id, taskRequest({
                  taskOperation({ioItem(1, a)}, "-vf scale=160:120", {ioItem(2, t1)}),
                  taskOperation({ioItem(1, b)}, "-vf scale=40:30", {ioItem(2, t2)}),
                  taskOperation({ioItem(2, t1), ioItem(2, t2)}, "-filter_complex overlay=10:10", {ioItem(1, out)}),
              }));
  ASSERT_FALSE(reports.empty());
  const std::string logged = loggedCommands(sharedLogFile(), id);
  SCOPED_TRACE(logged);
  EXPECT_EQ(commandsRun(id), 1);
  EXPECT_FALSE(reports.back().error) << reports.back().text;
  EXPECT_EQ(reports.back().outputs, std::vector<std::string>{out});

  std::smatch match;
  ASSERT_TRUE(std::regex_search(logged, match, std::regex(R"(\[0\]scale=160:120\[(\d+)\])")));
  const int first = std::atoi(match[1].str().c_str());
  EXPECT_GE(first, kFirstPadLabel);
  EXPECT_EQ(logged, fmt::format("****** task({0}) index=0, -i \"{1}\" -i \"{2}\" -filter_complex "
                                "[0]scale=160:120[{4}];[1]scale=40:30[{5}];[{4}][{5}]overlay=10:10  "
                                "-movflags +faststart -c:v libx264 \"{3}\"\n",
                                id, a, b, out, first, first + 1));
  // The worker took the last two labels of the counter.
  EXPECT_EQ(nextPadLabel(), first + 2);
  EXPECT_FALSE(exists(t1));
  EXPECT_FALSE(exists(t2));

  ProbeInfo info = probe(out);
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_EQ(info.count("video"), 1);
  EXPECT_EQ(info.width, 160);
  EXPECT_EQ(info.height, 120);
}

// A graph returned by "process" carried as the first operation's input, written
// to an intermediate file that a second operation filters. A graph written as
// such takes the second filter onto its own output: one ffmpeg run, and the
// intermediate is never written. A graph whose record carries a command
// fragment (convert) runs as that fragment, which takes no chain: two runs
// through the intermediate file, which is gone when the task ends.
struct GraphInputCase {
  const char* name;
  const char* description;  // of the "process" request
  const char* transform;    // of the "process" request
  int commands;
};

void PrintTo(const GraphInputCase& c, std::ostream* os) { *os << c.name; }

class GraphInputChainTest : public JobsTest, public testing::WithParamInterface<GraphInputCase> {};

TEST_P(GraphInputChainTest, SecondFilterRunsOnTheGraphOrTheIntermediateFile) {
  const GraphInputCase& c = GetParam();
  const std::string clip = dir_.file("in.mp4");
  makeClip(clip, clipOf(1.0));
  const std::string before = readFile(clip);
  const std::string graph = processGraph(handle_, c.description, {processInput(1, clip, 1.0)}, c.transform);
  ASSERT_FALSE(graph.empty());
  const std::string intermediate = dir_.file("work/mid.mp4");
  const std::string out = dir_.file("out.mp4");

  IntermediateWatch watch(intermediate);

  const uint64_t id = nextTaskId();
  auto reports = run(id, taskRequest({
                             taskOperation({ioItem(2, graph)}, "", {ioItem(2, intermediate)}),
                             taskOperation({ioItem(2, intermediate)}, "-vf scale=40:30", {ioItem(1, out)}),
                         }));
  ASSERT_FALSE(reports.empty());
  const std::string logged = loggedCommands(sharedLogFile(), id);
  SCOPED_TRACE(graph + "\n" + logged);
  for (const StateReport& report : reports) {
    EXPECT_FALSE(report.error) << report.text;
    EXPECT_EQ(report.totalPhase, c.commands) << report.text;
  }
  EXPECT_EQ(commandsRun(id), c.commands);
  EXPECT_EQ(watch.phases.empty(), c.commands == 1) << "only a second command reads the intermediate";
  EXPECT_FALSE(watch.atCompletion) << "intermediate files go before the completion";
  EXPECT_FALSE(exists(intermediate));
  if (c.commands == 1) {
    EXPECT_EQ(reports.back().outputs, std::vector<std::string>{out});
  } else {
    EXPECT_EQ(reports.back().outputs, (std::vector<std::string>{intermediate, out}));
  }
  std::istringstream lines(logged);
  for (std::string line; std::getline(lines, line);) {
    size_t graphs = 0;
    for (size_t pos = line.find("-filter_complex"); pos != std::string::npos;
         pos = line.find("-filter_complex", pos + 1)) {
      ++graphs;
    }
    EXPECT_EQ(graphs, 1u) << "each command filters once: " << line;
  }

  ProbeInfo info = probe(out);
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_EQ(info.count("video"), 1);
  EXPECT_EQ(info.count("audio"), 1);
  EXPECT_EQ(info.width, 40);
  EXPECT_EQ(info.height, 30);
  EXPECT_NEAR(info.duration, 1.0, 0.25);
  EXPECT_EQ(readFile(clip), before);
}

INSTANTIATE_TEST_SUITE_P(GraphInputs, GraphInputChainTest,
                         testing::Values(GraphInputCase{"Convert", "convert", "-vf scale=80:60", 2},
                                         GraphInputCase{"Crop", "crop", "crop=80:60:0:0", 1}),
                         [](const testing::TestParamInfo<GraphInputCase>& param_info) {
                           return param_info.param.name;
                         });

// Three operations given through intermediate files, the first a cropping
// graph from "process", the others a scale and a padding: one ffmpeg run
// whose output shows all three steps (size, length, the red border).
TEST_F(JobsTest, ThreeOperationChainOnAProcessGraphRunsAsOnePass) {
  const std::string clip = dir_.file("in.mp4");
  makeClip(clip, clipOf(1.0));
  const std::string graph = processGraph(handle_, "crop", {processInput(1, clip, 1.0)}, "crop=80:60:0:0");
  ASSERT_FALSE(graph.empty());
  const std::string t1 = dir_.file("work/t1.mp4");
  const std::string t2 = dir_.file("work/t2.mp4");
  const std::string out = dir_.file("out.mp4");
  IntermediateWatch watch(t1);

  const uint64_t id = nextTaskId();
  auto reports = run(id, taskRequest({
                             taskOperation({ioItem(2, graph)}, "", {ioItem(2, t1)}),
                             taskOperation({ioItem(2, t1)}, "-vf scale=40:30", {ioItem(2, t2)}),
                             taskOperation({ioItem(2, t2)}, "-vf pad=60:40:10:5:color=red", {ioItem(1, out)}),
                         }));
  ASSERT_FALSE(reports.empty());
  SCOPED_TRACE(loggedCommands(sharedLogFile(), id));
  EXPECT_EQ(commandsRun(id), 1);
  EXPECT_FALSE(reports.back().error) << reports.back().text;
  EXPECT_EQ(reports.back().progress, 100);
  EXPECT_EQ(reports.back().outputs, std::vector<std::string>{out});
  EXPECT_TRUE(watch.phases.empty());
  EXPECT_FALSE(exists(t1));
  EXPECT_FALSE(exists(t2));

  ProbeInfo info = probe(out);
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_EQ(info.count("video"), 1);
  EXPECT_EQ(info.count("audio"), 1);
  EXPECT_EQ(info.width, 60);
  EXPECT_EQ(info.height, 40);
  EXPECT_NEAR(info.duration, 1.0, 0.25);
  // The top-left corner of the first frame lies in the red border.
  const CapturedRun corner = runAndCapture({ffmpegPath(), "-v", "error", "-nostdin", "-i", out, "-frames:v", "1", "-vf",
                                            "crop=4:4:0:0", "-f", "rawvideo", "-pix_fmt", "rgb24", "-"},
                                           false);
  ASSERT_EQ(corner.exitCode, 0);
  ASSERT_EQ(corner.output.size(), 4u * 4u * 3u);
  EXPECT_GT(static_cast<unsigned char>(corner.output[0]), 180);
  EXPECT_LT(static_cast<unsigned char>(corner.output[1]), 80);
  EXPECT_LT(static_cast<unsigned char>(corner.output[2]), 80);
}

}  // namespace
}  // namespace qel::test
