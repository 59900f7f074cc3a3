// What a task may write and delete, through the exports with the real ffmpeg:
// - no command writes a file that it or an earlier command of the task reads,
//   however the path is spelled (ffmpeg's "file:" prefix, "." and "..", a
//   linked folder, a hard link);
// - only files the task created are ever removed: a user's file under an
//   intermediate name, or a file a failed command was to overwrite, stays;
// - a command that encodes nothing is a failure, never an output.
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/ffmpeg_wraper.h"
#include "engine/engine_test_util.h"
#include "qelapi.h"
#include "support/task_events.h"

namespace qel::test {
namespace {

namespace fs = std::filesystem;

class TaskSafetyTest : public testing::Test {
 protected:
  void SetUp() override {
    handle_ = initEngineWithLog("debug");
    ASSERT_NE(handle_, nullptr);
    taskEvents().attach(handle_);
    makeClip(input, clipOf(1.0));
    inputBytes = readFile(input);
  }
  void TearDown() override { qelapi_un_init(handle_); }

  // Runs the task to its completion; its last report.
  StateReport run(const std::string& request) {
    const uint64_t id = nextTaskId();
    EXPECT_EQ(submitTask(handle_, id, request), 0) << request;
    EXPECT_TRUE(taskEvents().waitForCompletion(id)) << request;
    const std::vector<StateReport> reports = taskEvents().reports(id);
    return reports.empty() ? StateReport{} : reports.back();
  }

  void* handle_ = nullptr;
  TempDir dir;
  const std::string input = dir.file("in.mp4");
  std::string inputBytes;
};

// ---- Writing over what the task reads ------------------------------------------

struct TaskOverwriteCase {
  const char* name;
  // The task request, given the folder and the input path.
  std::function<std::string(const TempDir&, const std::string&)> request;
};

void PrintTo(const TaskOverwriteCase& c, std::ostream* os) { *os << c.name; }

class TaskOverwriteTest : public TaskSafetyTest, public testing::WithParamInterface<TaskOverwriteCase> {};

TEST_P(TaskOverwriteTest, TheSourceIsNeverWrittenAndTheTaskFails) {
  const StateReport last = run(GetParam().request(dir, input));
  EXPECT_TRUE(last.error) << last.text;
  EXPECT_NE(last.errorDetail.find("refused"), std::string::npos) << last.text;
  EXPECT_TRUE(readFile(input) == inputBytes) << "the task's source was overwritten";
}

std::string oneOperation(const std::string& in, const std::string& out) {
  return taskRequest({taskOperation({ioItem(1, in)}, "-vf scale=80:60", {ioItem(1, out)})});
}

INSTANTIATE_TEST_SUITE_P(
    Spellings, TaskOverwriteTest,
    testing::Values(
        TaskOverwriteCase{"LaterOperationWritesTheSource",
                      [](const TempDir& d, const std::string& in) {
                        return taskRequest({taskOperation({ioItem(1, in)}, "-vf scale=80:60", {ioItem(1, d.file("o1.mp4"))}),
                                            taskOperation({ioItem(1, d.file("o1.mp4"))}, "-vf scale=40:30",
                                                          {ioItem(1, in)})});
                      }},
        TaskOverwriteCase{"FilePrefix", [](const TempDir&, const std::string& in) { return oneOperation(in, "file:" + in); }},
        TaskOverwriteCase{"FilePrefixOnTheInput",
                      [](const TempDir&, const std::string& in) { return oneOperation("file:" + in, in); }},
        TaskOverwriteCase{"DotAndDotDot",
                      [](const TempDir& d, const std::string&) {
                        fs::create_directories(d.file("sub"));
                        return oneOperation(d.file("in.mp4"), d.file("sub/.././in.mp4"));
                      }},
        TaskOverwriteCase{"LinkedFolder",
                      [](const TempDir& d, const std::string& in) {
                        fs::create_directory_symlink(d.path(), d.file("link"));
                        return oneOperation(in, d.file("link/in.mp4"));
                      }},
        TaskOverwriteCase{"HardLink",
                      [](const TempDir& d, const std::string& in) {
                        fs::create_hard_link(in, d.file("same.mp4"));
                        return oneOperation(in, d.file("same.mp4"));
                      }}),
    [](const testing::TestParamInfo<TaskOverwriteCase>& param_info) { return std::string(param_info.param.name); });

TEST_F(TaskSafetyTest, ChainThroughTypeOneFilesInTaskOrderStillRuns) {
  // Writing a file that only later commands read is how a chain works.
  const std::string middle = dir.file("o1.mp4");
  const std::string out = dir.file("o2.mp4");
  const StateReport last =
      run(taskRequest({taskOperation({ioItem(1, input)}, "-vf scale=80:60", {ioItem(1, middle)}),
                       taskOperation({ioItem(1, middle)}, "-vf scale=40:30", {ioItem(1, out)})}));
  EXPECT_FALSE(last.error) << last.text;
  EXPECT_EQ(probe(out).width, 40);
}

// ---- Removing only what the task created ----------------------------------------

TEST_F(TaskSafetyTest, AUsersFileUnderAnIntermediateNameStays) {
  // Stream copy cannot merge with a filter, so the intermediate reaches the disk.
  for (const char* second : {"-vf crop=40:30:0:0", "-c:v copy"}) {
    SCOPED_TRACE(second);
    const std::string middle = dir.file("mid.mp4");
    writeFile(middle, "the user's own file");
    const std::string out = dir.file("out.mkv");
    const StateReport last =
        run(taskRequest({taskOperation({ioItem(1, input)}, "-vf scale=80:60", {ioItem(2, middle)}),
                         taskOperation({ioItem(2, middle)}, second, {ioItem(1, out)})}));
    EXPECT_FALSE(last.error) << last.text;
    EXPECT_EQ(readFile(middle), "the user's own file");
    EXPECT_TRUE(probe(out).ok);
    // The intermediate the task used instead is gone.
    for (const fs::directory_entry& entry : fs::directory_iterator(dir.path())) {
      EXPECT_EQ(entry.path().string().find("-qel"), std::string::npos) << entry.path();
    }
    fs::remove(out);
  }
}

TEST_F(TaskSafetyTest, AFailedCommandLeavesAFileItDidNotCreate) {
  const std::string out = dir.file("kept.mp4");
  writeFile(out, "an earlier result");
  const StateReport last = run(oneOperation(dir.file("missing.mp4"), out));
  EXPECT_TRUE(last.error) << last.text;
  EXPECT_EQ(readFile(out), "an earlier result");
}

TEST_F(TaskSafetyTest, AFailedCommandRemovesTheOutputItCreated) {
  const std::string out = dir.file("new.mp4");
  const StateReport last = run(oneOperation(dir.file("missing.mp4"), out));
  EXPECT_TRUE(last.error) << last.text;
  EXPECT_FALSE(fs::exists(out));
}

// ---- Nothing encoded ----------------------------------------------------------------

TEST_F(TaskSafetyTest, ACutPastTheEndIsAFailureNotAnEmptyOutput) {
  makeClip(input, clipOf(3.0));
  const std::string graph = processGraph(handle_, "cut", {processInput(1, input, 3)}, "-ss 7 -to 7");
  ASSERT_FALSE(graph.empty());
  const std::string out = dir.file("cut.mp4");
  const StateReport last = run(taskRequest({taskOperation({ioItem(2, graph)}, "", {ioItem(1, out)})}));
  EXPECT_TRUE(last.error) << last.text;
  EXPECT_EQ(last.errorDetail, kNothingEncodedMessage);
  EXPECT_TRUE(last.outputs.empty()) << last.text;
  EXPECT_FALSE(fs::exists(out));
}

TEST(NothingEncoded, FinalStatisticsTellAnEmptyOutput) {
  struct Row {
    const char* line;
    bool empty;
  };
  const Row rows[] = {
      {"frame=    0 fps=0.0 q=0.0 Lsize=       0kB time=00:00:00.00 bitrate=N/A speed=   0x    ", true},
      {"size=       0kB time=00:00:00.00 bitrate=N/A speed=   0x    ", true},
      {"frame=    0 fps=0.0 q=0.0 size=N/A time=N/A bitrate=N/A speed=N/A    ", true},
      // Audio without a picture, a single picture, a few frames.
      {"frame=    0 fps=0.0 q=0.0 Lsize=       1kB time=00:00:00.02 bitrate= 429.3kbits/s speed=0.66x    ", false},
      {"size=      27kB time=00:00:03.01 bitrate=  73.7kbits/s speed=53.5x    ", false},
      {"frame=    1 fps=0.0 q=-0.0 Lsize=N/A time=00:00:00.04 bitrate=N/A speed=1.28x    ", false},
      {"frame=   10 fps=0.0 q=-1.0 size=       0kB time=00:00:00.40 bitrate=   0.9kbits/s speed=0.79x", false},
      {"frame=    1 fps=0.0 q=0.0 size=N/A time=00:00:00.00 bitrate=N/A speed=   0x    ", false},
  };
  for (const Row& row : rows) EXPECT_EQ(statsShowNothingEncoded(row.line), row.empty) << row.line;
}

}  // namespace
}  // namespace qel::test
