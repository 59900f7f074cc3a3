// The task worker through the exports: failed, refused and aborted commands,
// aborts before a task runs, shutdown while ffmpeg runs, the duration used for
// progress, and the worker's small helpers.
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "qelapi.h"
#include "commands/command_plan.h"
#include "common/process_table.h"
#include "engine/engine_context.h"
#include "engine/task_worker.h"
#include "QelApi/engine/engine_test_util.h"
#include "support/task_events.h"
#include "support/engine_context_access.h"

namespace qel::test {
namespace {

namespace fs = std::filesystem;

bool exists(const std::string& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

// A source that never ends on its own, paced to real time: its command runs
// until it is stopped.
const char* const kEndlessSource = "testsrc=size=160x120:rate=25";
const char* const kEndlessInputOptions = "-re -f lavfi";

// ffmpeg processes writing `path`: their command line names the file in its
// private folder beside it ("<folder>/qel-XXXXXX/<name>").
int ffmpegProcessesWriting(const std::string& path) {
  const fs::path file(path);
  const std::string folder = file.parent_path().string() + "/qel-";
  const std::string name = "/" + file.filename().string();
  int count = 0;
  for (const ProcessEntry& entry : listProcesses()) {
    if (entry.imageName != "ffmpeg") continue;
    const std::string& line = entry.commandLine;
    for (std::size_t at = line.find(folder); at != std::string::npos; at = line.find(folder, at + 1)) {
      const std::size_t named = at + folder.size() + 6;  // past the six characters mkdtemp chose
      if (named <= line.size() && line.compare(named, name.size(), name) == 0) {
        ++count;
        break;
      }
    }
  }
  return count;
}

int countWhere(const std::vector<StateReport>& reports, bool (*match)(const StateReport&)) {
  int count = 0;
  for (const StateReport& report : reports) count += match(report) ? 1 : 0;
  return count;
}

class TaskWorkerTest : public EngineTaskTest {
 protected:
  EngineContext& engine() { return *static_cast<EngineContext*>(handle_); }

  std::string convertOperation(const std::string& input, const std::string& output, const std::string& prevOp = "") {
    return taskOperation({ioItem(1, input, prevOp)}, "-vf scale=80:60", {ioItem(1, output)});
  }
  std::string endlessOperation(const std::string& output) {
    return convertOperation(kEndlessSource, output, kEndlessInputOptions);
  }
};

TEST_F(TaskWorkerTest, FailedCommandDoesNotStopTheNextAndTheTaskEndsAsFailed) {
  const std::string first = dir_.file("one.mp4");
  const std::string broken = dir_.file("broken.mp4");
  const std::string third = dir_.file("three.mp4");
  makeClip(first, clipOf(1.0));
  writeFile(broken, "this is no media file");
  makeClip(third, clipOf(1.0));
  const std::vector<std::string> outs = {dir_.file("out1.mkv"), dir_.file("out2.mkv"), dir_.file("out3.mkv")};

  const uint64_t id = nextTaskId();
  ASSERT_EQ(submitTask(handle_, id,
                       taskRequest({convertOperation(first, outs[0]), convertOperation(broken, outs[1]),
                                    convertOperation(third, outs[2])})),
            0);
  ASSERT_TRUE(taskEvents().waitForCompletion(id));
  SCOPED_TRACE(loggedCommands(sharedLogFile(), id));

  const auto events = taskEvents().events(id);
  ASSERT_TRUE(events.back().completion);
  EXPECT_EQ(taskEvents().completions(id), 1);
  const auto reports = taskEvents().reports(id);

  // One error report while the second command ran, naming its input.
  std::vector<StateReport> secondErrors;
  for (const StateReport& report : reports) {
    if (report.error && report.currentPhase == 2) secondErrors.push_back(report);
  }
  ASSERT_EQ(secondErrors.size(), 1u);
  EXPECT_EQ(secondErrors[0].errorCode, 6517);
  EXPECT_EQ(secondErrors[0].ids, std::vector<std::string>{broken});
  EXPECT_EQ(secondErrors[0].outputs, std::vector<std::string>{outs[0]});

  // The third command ran to its end.
  EXPECT_GT(countWhere(reports, [](const StateReport& r) { return !r.error && r.currentPhase == 3; }), 0);
  EXPECT_TRUE(probe(outs[2]).ok);
  EXPECT_TRUE(probe(outs[0]).ok);
  EXPECT_FALSE(exists(outs[1])) << "a failed command's output is removed";

  // The last word before the completion is the failure, with what was written.
  const StateReport& last = reports.back();
  EXPECT_TRUE(last.error) << last.text;
  EXPECT_EQ(last.errorCode, 6517);
  EXPECT_EQ(last.progress, 100);
  EXPECT_EQ(last.outputs, (std::vector<std::string>{outs[0], outs[2]}));
  EXPECT_EQ(readFile(broken), "this is no media file");
}

TEST_F(TaskWorkerTest, AbortDuringACommandRemovesItsOutputAndStopsTheRest) {
  const std::string first = dir_.file("one.mp4");
  const std::string third = dir_.file("three.mp4");
  makeClip(first, clipOf(1.0));
  makeClip(third, clipOf(1.0));
  const std::vector<std::string> outs = {dir_.file("out1.mkv"), dir_.file("out2.mp4"), dir_.file("out3.mkv")};
  const uint64_t id = nextTaskId();

  // Aborted from inside the progress callback, as soon as the second command
  // reports: callbacks may call the exports.
  int abortResult = -1;
  bool secondWasRunning = false;
  taskEvents().onProgress([&](void* handle, uint64_t task, const StateReport& report) {
    if (task == id && report.currentPhase == 2 && !report.error && abortResult == -1) {
      secondWasRunning = ffmpegProcessesWriting(outs[1]) > 0;
      abortResult = qelapi_remove_task(handle, task);
    }
  });
  ASSERT_EQ(submitTask(handle_, id,
                       taskRequest({convertOperation(first, outs[0]), endlessOperation(outs[1]),
                                    convertOperation(third, outs[2])})),
            0);
  ASSERT_TRUE(taskEvents().waitForCompletion(id));
  EXPECT_EQ(abortResult, 0);
  EXPECT_TRUE(secondWasRunning);

  const auto reports = taskEvents().reports(id);
  EXPECT_EQ(countWhere(reports, [](const StateReport& r) { return r.errorCode == 6514; }), 1);
  const StateReport& last = reports.back();
  EXPECT_TRUE(last.error);
  EXPECT_EQ(last.errorCode, 6514);
  EXPECT_EQ(last.progress, 100);
  EXPECT_EQ(last.errorDetail, "user abort");
  EXPECT_EQ(last.ids, (std::vector<std::string>{kEndlessSource, third}));
  EXPECT_EQ(last.outputs, std::vector<std::string>{outs[0]});
  EXPECT_EQ(taskEvents().completions(id), 1);

  EXPECT_TRUE(probe(outs[0]).ok) << "finished outputs stay";
  EXPECT_FALSE(exists(outs[1])) << "the interrupted command's partial output is removed";
  EXPECT_FALSE(exists(outs[2])) << "no command runs after an abort";
  EXPECT_EQ(ffmpegProcessesWriting(outs[1]), 0);
  EXPECT_EQ(qelapi_remove_task(handle_, id), 6512) << "the task is erased";
}

TEST_F(TaskWorkerTest, AbortBeforeTheRunGivesOneReportAndNoCompletion) {
  const std::string clip = dir_.file("in.mp4");
  makeClip(clip, clipOf(1.0));
  const std::string endlessOut = dir_.file("endless.mp4");
  const std::string createdOut = dir_.file("created.mkv");
  const std::string waitingOut = dir_.file("waiting.mkv");

  // A running task keeps the worker busy while two others are aborted: one
  // still Created, one Started and waiting its turn.
  const uint64_t running = nextTaskId();
  const uint64_t created = nextTaskId();
  const uint64_t waiting = nextTaskId();
  ASSERT_EQ(submitTask(handle_, running, taskRequest({endlessOperation(endlessOut)})), 0);
  ASSERT_TRUE(
      taskEvents().waitForReport(running, [&](const StateReport&) { return ffmpegProcessesWriting(endlessOut) > 0; }));

  ASSERT_EQ(qelapi_create_task(handle_, created), 0);
  ASSERT_EQ(
      qelapi_add_task_operation(
          handle_, created,
          taskRequest({convertOperation(clip, createdOut), convertOperation(clip, dir_.file("second.mkv"))}).c_str()),
      0);
  ASSERT_EQ(submitTask(handle_, waiting, taskRequest({convertOperation(clip, waitingOut)})), 0);
  EXPECT_EQ(qelapi_remove_task(handle_, created), 0);
  EXPECT_EQ(qelapi_remove_task(handle_, waiting), 0);
  EXPECT_EQ(qelapi_start_task(handle_, created), 0) << "a start after an abort changes nothing";

  // The running command of another task is left alone.
  EXPECT_EQ(ffmpegProcessesWriting(endlessOut), 1);
  for (const StateReport& report : taskEvents().reports(running)) EXPECT_FALSE(report.error);

  ASSERT_EQ(qelapi_remove_task(handle_, running), 0);
  ASSERT_TRUE(taskEvents().waitForCompletion(running));
  // A task that comes after both in the list: once it completes, the worker
  // has dealt with the aborted ones.
  const uint64_t marker = nextTaskId();
  ASSERT_EQ(submitTask(handle_, marker, taskRequest({convertOperation(clip, dir_.file("marker.mkv"))})), 0);
  ASSERT_TRUE(taskEvents().waitForCompletion(marker));

  for (uint64_t id : {created, waiting}) {
    SCOPED_TRACE(id);
    const auto reports = taskEvents().reports(id);
    ASSERT_EQ(reports.size(), 1u);
    const StateReport& report = reports[0];
    EXPECT_TRUE(report.error);
    EXPECT_EQ(report.errorCode, 6514);
    EXPECT_EQ(report.progress, 100);
    EXPECT_EQ(report.totalPhase, 0);
    EXPECT_EQ(report.currentPhase, 0);
    EXPECT_EQ(report.ids, std::vector<std::string>{clip}) << "distinct input files of all commands";
    EXPECT_TRUE(report.outputs.empty());
    EXPECT_EQ(taskEvents().completions(id), 0);
    EXPECT_EQ(qelapi_remove_task(handle_, id), 6512) << "erased";
    EXPECT_EQ(countInLog(fmt::format("//---- task({}) begin ---------", id)), 1);
    EXPECT_EQ(countInLog(fmt::format("\\\\---- task({}) end ---------", id)), 0);
  }
  EXPECT_FALSE(exists(createdOut));
  EXPECT_FALSE(exists(waitingOut));
  EXPECT_FALSE(exists(endlessOut));
  EXPECT_EQ(readFile(clip).empty(), false);
}

TEST_F(TaskWorkerTest, UnInitWhileACommandRunsEndsFfmpegAndCompletesTheTask) {
  const std::string clip = dir_.file("in.mp4");
  makeClip(clip, clipOf(1.0));
  const std::string out = dir_.file("endless.mp4");
  const uint64_t id = nextTaskId();
  const uint64_t waiting = nextTaskId();
  ASSERT_EQ(
      submitTask(handle_, id, taskRequest({endlessOperation(out), convertOperation(clip, dir_.file("later.mkv"))})), 0);
  ASSERT_EQ(submitTask(handle_, waiting, taskRequest({convertOperation(clip, dir_.file("waiting.mkv"))})), 0);
  ASSERT_TRUE(taskEvents().waitForReport(id, [&](const StateReport&) { return ffmpegProcessesWriting(out) > 0; }));

  qelapi_un_init(handle_);
  handle_ = nullptr;

  EXPECT_EQ(ffmpegProcessesWriting(out), 0) << "no ffmpeg outlives the engine";
  EXPECT_FALSE(exists(out)) << "the interrupted command's output is removed";
  EXPECT_FALSE(exists(dir_.file("later.mkv")));
  EXPECT_EQ(taskEvents().completions(id), 1);
  const auto events = taskEvents().events(id);
  ASSERT_GE(events.size(), 2u);
  EXPECT_TRUE(events.back().completion);
  // The task did not finish: its last report says so instead of reading as a
  // success when the completion arrives.
  const StateReport& last = events[events.size() - 2].report;
  EXPECT_TRUE(last.error) << last.text;
  EXPECT_EQ(last.errorCode, 6514);
  EXPECT_EQ(countWhere(taskEvents().reports(id), [](const StateReport& r) { return r.error; }), 1);
  // Tasks still waiting are dropped silently.
  EXPECT_TRUE(taskEvents().events(waiting).empty());
}

// The output path names one of the command's inputs: ffmpeg would destroy the
// source. The command is refused, the task goes on and ends as failed.
class OverwriteTest : public TaskWorkerTest, public testing::WithParamInterface<const char*> {};

TEST_P(OverwriteTest, CommandWritingOverItsInputIsRefused) {
  const std::string clip = dir_.file("in.mp4");
  makeClip(clip, clipOf(1.0));
  const std::string before = readFile(clip);
  const std::string other = dir_.file("other.mkv");
  const std::string sameFile = dir_.path() + GetParam();

  const uint64_t id = nextTaskId();
  ASSERT_EQ(submitTask(handle_, id, taskRequest({convertOperation(clip, sameFile), convertOperation(clip, other)})), 0);
  ASSERT_TRUE(taskEvents().waitForCompletion(id));

  const auto reports = taskEvents().reports(id);
  std::vector<StateReport> refusals;
  for (const StateReport& report : reports) {
    if (report.error && report.currentPhase == 1) refusals.push_back(report);
  }
  ASSERT_EQ(refusals.size(), 1u);
  EXPECT_EQ(refusals[0].errorCode, 6517);
  EXPECT_NE(refusals[0].errorDetail.find(clip), std::string::npos) << refusals[0].errorDetail;
  EXPECT_EQ(refusals[0].ids, std::vector<std::string>{clip});

  EXPECT_EQ(readFile(clip), before) << "the input is byte-identical";
  EXPECT_TRUE(probe(other).ok) << "the next command still runs";
  EXPECT_TRUE(reports.back().error) << reports.back().text;
  EXPECT_EQ(reports.back().outputs, std::vector<std::string>{other});
  EXPECT_EQ(taskEvents().completions(id), 1);
}

INSTANTIATE_TEST_SUITE_P(Spellings, OverwriteTest,
                         testing::Values("/in.mp4", "/./in.mp4", "//in.mp4", "/sub/../in.mp4"));

// The expected length that the first report announces: a remembered graph
// duration of at least a second, else the probed length of the inputs. The
// empty key never counts as remembered.
struct DurationCase {
  const char* name;
  bool graphKey;      // the command's key is a graph; else a plain file command
  double remembered;  // filed under the key (the empty key for a plain command)
  const char* expected;
};

void PrintTo(const DurationCase& c, std::ostream* os) { *os << c.name; }

class DurationTest : public TaskWorkerTest, public testing::WithParamInterface<DurationCase> {};

TEST_P(DurationTest, FirstReportAnnouncesTheExpectedLength) {
  const DurationCase& c = GetParam();
  const std::string clip = dir_.file("in.mp4");
  makeClip(clip, clipOf(2.0));
  const std::string out = dir_.file("out.mkv");

  std::string request;
  if (c.graphKey) {
    const std::string graph = processGraph(handle_, "convert", {processInput(1, clip, 2.0)}, "-vf scale=80:60");
    ASSERT_FALSE(graph.empty());
    {
      auto lock = EngineContextTestAccess::lock(engine());
      EngineContextTestAccess::parser(engine()).setDuration(graph, c.remembered);
    }
    request = taskRequest({taskOperation({ioItem(2, graph)}, "", {ioItem(1, out)})});
  } else {
    {
      // What a failed "process" request may leave behind.
      auto lock = EngineContextTestAccess::lock(engine());
      EngineContextTestAccess::parser(engine()).setDuration("", c.remembered);
    }
    request = taskRequest({convertOperation(clip, out)});
  }

  const uint64_t id = nextTaskId();
  ASSERT_EQ(submitTask(handle_, id, request), 0);
  ASSERT_TRUE(taskEvents().waitForCompletion(id));
  const auto reports = taskEvents().reports(id);
  ASSERT_FALSE(reports.empty());
  EXPECT_EQ(reports.front().estimateTime, c.expected) << reports.front().text;
  EXPECT_FALSE(reports.back().error) << reports.back().text;
}

INSTANTIATE_TEST_SUITE_P(Durations, DurationTest,
                         testing::Values(DurationCase{"EmptyKeyIsNotRemembered", false, 3600.0, "00:00:02"},
                                         DurationCase{"RememberedGraphDuration", true, 7.9, "00:00:07"},
                                         DurationCase{"UnderOneSecondIsProbed", true, 0.4, "00:00:02"}),
                         [](const testing::TestParamInfo<DurationCase>& param_info) { return param_info.param.name; });

// A command that reads an intermediate file announces the length of the
// command that wrote it, not a probe of the file: here the writer's graph is
// remembered as 5 s long although its clip lasts 1 s.
TEST_F(TaskWorkerTest, IntermediateFileTakesTheLengthOfItsWriter) {
  const std::string clip = dir_.file("in.mp4");
  makeClip(clip, clipOf(1.0));
  const std::string middle = dir_.file("middle.mkv");
  const std::string out = dir_.file("out.mkv");
  const std::string graph = processGraph(handle_, "convert", {processInput(1, clip, 1.0)}, "-vf scale=80:60");
  ASSERT_FALSE(graph.empty());
  {
    auto lock = EngineContextTestAccess::lock(engine());
    EngineContextTestAccess::parser(engine()).setDuration(graph, 5.0);
  }
  const std::string request = taskRequest({taskOperation({ioItem(2, graph)}, "", {ioItem(2, middle)}),
                                           taskOperation({ioItem(2, middle)}, "-c copy", {ioItem(1, out)})});
  const uint64_t id = nextTaskId();
  ASSERT_EQ(submitTask(handle_, id, request), 0);
  ASSERT_TRUE(taskEvents().waitForCompletion(id));
  std::string longest;
  for (const StateReport& report : taskEvents().reports(id)) {
    ASSERT_FALSE(report.error) << report.text;
    if (report.totalPhase == 2 && report.currentPhase == 2) longest = std::max(longest, report.estimateTime);
  }
  EXPECT_GE(longest, "00:00:04");
  EXPECT_TRUE(exists(out));
}

// ---- Helpers ------------------------------------------------------------------------

InitConfig helperConfig() { return realToolsConfig("task-worker-test"); }

TEST(ProbeDurationTest, SumsWholeSecondsOfTheFilesThatProbe) {
  TempDir dir;
  EngineContext engine(helperConfig());
  const std::string one = dir.file("one.mkv");
  const std::string two = dir.file("two.mkv");
  makeClip(one, clipOf(1.6));
  makeClip(two, clipOf(2.0));
  writeFile(dir.file("text.mp4"), "not media");

  EXPECT_EQ(probeDuration(engine, {one, two}), 3) << "each file truncated: 1 + 2";
  EXPECT_EQ(probeDuration(engine, {two, "nullsrc=s=160x120", dir.file("missing.mp4"), dir.file("text.mp4")}), 2);
  EXPECT_EQ(probeDuration(engine, {}), 0);
}

// The length of a command: a remembered graph duration wins; otherwise the
// known lengths of intermediate files (as long as the command that wrote
// them) are added to the probed lengths of the other files.
TEST(CommandDurationTest, KnownIntermediateFilesAreNotProbed) {
  TempDir dir;
  EngineContext engine(helperConfig());
  const std::string one = dir.file("one.mkv");
  const std::string two = dir.file("two.mkv");
  makeClip(one, clipOf(1.0));
  makeClip(two, clipOf(2.0));
  struct Case {
    const char* name;
    double remembered;
    std::vector<std::string> files;
    std::map<std::string, int32_t> known;
    int32_t expected;
  };
  const Case cases[] = {
      {"remembered graph duration", 7.9, {one}, {{one, 5}}, 7},
      {"probed", 0.0, {one, two}, {}, 3},
      {"intermediate file of known length", 0.0, {two}, {{two, 5}}, 5},
      {"known and probed files together", 0.5, {one, two}, {{two, 9}}, 10},
  };
  for (const Case& c : cases) {
    FFmpegCommand command;
    command.rememberedSeconds = c.remembered;
    command.inputFiles = c.files;
    EXPECT_EQ(commandDuration(engine, command, c.known), c.expected) << c.name;
  }
}

// Everything a task's plan reads of the engine comes in one snapshot.
TEST(PlanningSnapshotTest, TakesVendorRecordsAndTheTasksParserEntries) {
  EngineContext engine(helperConfig());
  const std::string graph = "movie='/m/a.mp4'[out0]";
  TaskEntry task;
  task.operations.resize(1);
  task.operations[0].m_inputs = {{2, graph, ""}};
  task.outputRecords[graph] = LavfiOutputRecord{1, "-c:v libx264", ""};
  PlanningSnapshot snapshot;
  {
    auto lock = EngineContextTestAccess::lock(engine);
    EngineContextTestAccess::config(engine).hwaccel_vendor = "intel";
    EngineContextTestAccess::parser(engine).setDuration(graph, 4.0);
    EngineContextTestAccess::parser(engine).setDuration("movie='/m/other.mp4'[out0]", 8.0);
    EngineContextTestAccess::parser(engine).inputFiles[graph] = {"/m/a.mp4"};
  }
  snapshot = engine.takePlanningSnapshot(task);
  EXPECT_EQ(snapshot.hardwareVendor, "intel");
  ASSERT_EQ(snapshot.outputRecords.count(graph), 1u);
  EXPECT_EQ(snapshot.outputRecords.at(graph).outputConfig, "-c:v libx264");
  EXPECT_EQ(snapshot.durations, (std::map<std::string, double>{{graph, 4.0}}));
  ASSERT_NE(snapshot.findInputFiles(graph), nullptr);
  EXPECT_EQ(*snapshot.findInputFiles(graph), std::vector<std::string>{"/m/a.mp4"});
}

TEST(DistinctInputFilesTest, KeepsFirstAppearanceFromTheGivenCommand) {
  std::vector<FFmpegCommand> commands(3);
  commands[0].inputFiles = {"a", "b"};
  commands[1].inputFiles = {"c", "a"};
  commands[2].inputFiles = {"a", "d", "c"};
  EXPECT_EQ(distinctInputFiles(commands, 0), (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_EQ(distinctInputFiles(commands, 1), (std::vector<std::string>{"c", "a", "d"}));
  EXPECT_TRUE(distinctInputFiles(commands, 3).empty());
}

TEST(RemoveFileTest, RemovesFilesLeavesMissingPathsAloneAndLogsFailures) {
  void* handle = initEngineWithLog("debug");  // the log file the failure goes to
  ASSERT_NE(handle, nullptr);
  TempDir dir;
  const std::string file = dir.file("partial.mp4");
  writeFile(file, "x");
  EXPECT_TRUE(removeFile(file));
  EXPECT_FALSE(exists(file));
  EXPECT_TRUE(removeFile(dir.file("never-there.mp4")));

  // A folder is no file: unlink fails on every try and the last is logged.
  const std::string folder = dir.file("a-folder");
  ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
  EXPECT_FALSE(removeFile(folder));
  EXPECT_TRUE(exists(folder));
  EXPECT_EQ(countInLog("[removeFile,754]:" + folder + ", "), 1);
  EXPECT_EQ(countInLog("never-there.mp4"), 0);
  qelapi_un_init(handle);
}

}  // namespace
}  // namespace qel::test
