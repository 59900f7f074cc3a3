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
#include "QelApi/engine/engine_test_util.h"
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
  StateReport run(const std::string& request) { return runTask(handle_, request); }

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
                            return taskRequest(
                                {taskOperation({ioItem(1, in)}, "-vf scale=80:60", {ioItem(1, d.file("o1.mp4"))}),
                                 taskOperation({ioItem(1, d.file("o1.mp4"))}, "-vf scale=40:30", {ioItem(1, in)})});
                          }},
        TaskOverwriteCase{"FilePrefix",
                          [](const TempDir&, const std::string& in) { return oneOperation(in, "file:" + in); }},
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
                          }},
        // ffmpeg reads the members of a concat: input, the names of a
        // concatf: list and the files of an ffconcat list.
        TaskOverwriteCase{"ConcatProtocolMember",
                          [](const TempDir& d, const std::string& in) {
                            return oneOperation("concat:" + in + "|" + d.file("clip2.mp4"), in);
                          }},
        TaskOverwriteCase{"ConcatfListEntry",
                          [](const TempDir& d, const std::string& in) {
                            writeFile(d.file("list.txt"), in + "\n");
                            return oneOperation("concatf:" + d.file("list.txt"), in);
                          }},
        TaskOverwriteCase{"ConcatDemuxerListEntry",
                          [](const TempDir& d, const std::string& in) {
                            writeFile(d.file("list.txt"), "ffconcat version 1.0\nfile 'in.mp4'\n");
                            return taskRequest({taskOperation({ioItem(1, d.file("list.txt"), "-f concat -safe 0")},
                                                              "-vf scale=80:60", {ioItem(1, in)})});
                          }}),
    [](const testing::TestParamInfo<TaskOverwriteCase>& param_info) { return std::string(param_info.param.name); });

TEST_F(TaskSafetyTest, ChainThroughTypeOneFilesInTaskOrderStillRuns) {
  // Writing a file that only later commands read is how a chain works.
  const std::string middle = dir.file("o1.mp4");
  const std::string out = dir.file("o2.mp4");
  const StateReport last = run(taskRequest({taskOperation({ioItem(1, input)}, "-vf scale=80:60", {ioItem(1, middle)}),
                                            taskOperation({ioItem(1, middle)}, "-vf scale=40:30", {ioItem(1, out)})}));
  EXPECT_FALSE(last.error) << last.text;
  EXPECT_EQ(probe(out).width, 40);
}

// ---- Removing only what the task created ----------------------------------------

TEST_F(TaskSafetyTest, AUsersFileUnderAnIntermediateNameStays) {
  // Stream copy cannot merge with a filter, so the intermediate reaches the disk.
  // A "file:" spelling names the same file, and no "file:" folder is made in
  // the working folder.
  ASSERT_FALSE(fs::exists("file:"));
  for (const char* spelling : {"", "file:"}) {
    for (const char* second : {"-vf crop=40:30:0:0", "-c:v copy"}) {
      SCOPED_TRACE(std::string(spelling) + " " + second);
      const std::string middle = dir.file("mid.mp4");
      writeFile(middle, "the user's own file");
      const std::string out = dir.file("out.mkv");
      const StateReport last =
          run(taskRequest({taskOperation({ioItem(1, input)}, "-vf scale=80:60", {ioItem(2, spelling + middle)}),
                           taskOperation({ioItem(2, spelling + middle)}, second, {ioItem(1, out)})}));
      EXPECT_FALSE(last.error) << last.text;
      EXPECT_EQ(readFile(middle), "the user's own file");
      EXPECT_TRUE(probe(out).ok);
      // The intermediate the task used instead is gone.
      for (const fs::directory_entry& entry : fs::directory_iterator(dir.path())) {
        EXPECT_EQ(entry.path().string().find("-qel"), std::string::npos) << entry.path();
      }
      EXPECT_FALSE(fs::exists("file:")) << "a folder tree was made in the working folder";
      fs::remove(out);
    }
  }
}

// ---- Option text in names ------------------------------------------------------------

TEST_F(TaskSafetyTest, OptionTextInANameIsPartOfTheName) {
  // An output whose "-c:a copy" an audio filter once removed: victim.mkv was
  // written instead.
  const std::string victim = dir.file("victim.mkv");
  writeFile(victim, "the victim");
  const std::string named = dir.file("victim-c:a copy.mkv");
  StateReport last = run(taskRequest({taskOperation({ioItem(1, input)}, "-af volume=0.5", {ioItem(1, named)})}));
  EXPECT_FALSE(last.error) << last.text;
  EXPECT_EQ(readFile(victim), "the victim");
  EXPECT_EQ(last.outputs, std::vector<std::string>{named});
  const ProbeInfo written = probe(named);
  EXPECT_EQ(written.count("audio"), 1) << written.error;
  EXPECT_EQ(written.count("video"), 1) << written.error;

  // An input whose "-c:v copy" a video filter once removed: "show .mp4" was
  // read instead, and the task succeeded on it.
  const std::string show = dir.file("show -c:v copy.mp4");
  const std::string decoy = dir.file("show .mp4");
  makeClip(show, clipOf(1.0));
  makeClip(decoy, clipOf(3.0));
  const std::string out = dir.file("show-out.mp4");
  last = run(taskRequest({taskOperation({ioItem(1, show)}, "-vf scale=80:60", {ioItem(1, out)})}));
  EXPECT_FALSE(last.error) << last.text;
  const ProbeInfo scaled = probe(out);
  EXPECT_EQ(scaled.width, 80) << scaled.error;
  EXPECT_NEAR(scaled.duration, 1.0, 0.3) << "the task read another file";
}

// ---- Image sequences -------------------------------------------------------------------

TEST_F(TaskSafetyTest, ASequenceOutputNeverWritesItsInput) {
  const std::string picture = dir.file("p1.png");
  ClipSpec still = clipOf(1.0);
  still.audio = false;
  still.extraArgs = {"-frames:v", "1"};
  makeClip(picture, still);
  const std::string before = readFile(picture);
  const StateReport last =
      run(taskRequest({taskOperation({ioItem(1, picture)}, "-vf scale=16:12", {ioItem(1, dir.file("p%d.png"))})}));
  EXPECT_TRUE(last.error) << last.text;
  EXPECT_NE(last.errorDetail.find("refused"), std::string::npos) << last.text;
  EXPECT_TRUE(readFile(picture) == before) << "the input picture was overwritten";
  EXPECT_TRUE(last.outputs.empty()) << last.text;
}

TEST_F(TaskSafetyTest, ASequenceOutputListsTheFilesItWrote) {
  // Five frames; a bystander of the sequence that the command does not reach
  // is not listed, and the pattern itself, no file, never is.
  ClipSpec frames = clipOf(1.0);
  frames.fps = 5;
  frames.audio = false;
  makeClip(input, frames);
  fs::create_directories(dir.file("frames"));
  writeFile(dir.file("frames/p99.png"), "a bystander");
  const StateReport last = run(taskRequest(
      {taskOperation({ioItem(1, input)}, "-vf scale=16:12", {ioItem(1, "file:" + dir.file("frames/p%d.png"))})}));
  EXPECT_FALSE(last.error) << last.text;
  ASSERT_EQ(last.outputs.size(), 5u) << last.text;
  for (std::size_t i = 0; i < last.outputs.size(); ++i) {
    const std::string expected = "file:" + dir.file("frames/p" + std::to_string(i + 1) + ".png");
    EXPECT_EQ(last.outputs[i], expected);
    EXPECT_EQ(probe(expected.substr(5)).width, 16);
  }
  EXPECT_EQ(readFile(dir.file("frames/p99.png")), "a bystander");
}

// ---- One file written twice ---------------------------------------------------------

TEST_F(TaskSafetyTest, ATaskWritingOneFileTwiceIsRefusedBeforeAnythingRuns) {
  // A second write would destroy the first result, and its failure would
  // remove it while "outputs" still listed it.
  struct Case {
    const char* name;
    std::string first;
    std::string second;
  };
  fs::create_directories(dir.file("sub"));
  const std::vector<Case> cases = {
      {"same name", dir.file("o.mp4"), dir.file("o.mp4")},
      {"file: spelling", dir.file("o.mp4"), "file:" + dir.file("o.mp4")},
      {"dot dot", dir.file("o.mp4"), dir.file("sub/../o.mp4")},
      {"sequence", dir.file("f%d.png"), dir.file("f3.png")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int logged = countInLog("two outputs of the task write one file, refused");
    const uint64_t id = nextTaskId();
    // The second one fails (a missing input): it once removed the first result.
    EXPECT_EQ(submitTask(handle_, id,
                         taskRequest({taskOperation({ioItem(1, input)}, "-vf scale=80:60", {ioItem(1, c.first)}),
                                      taskOperation({ioItem(1, dir.file("missing.mp4"))}, "-vf scale=40:30",
                                                    {ioItem(1, c.second)})})),
              6510);
    EXPECT_EQ(countInLog("two outputs of the task write one file, refused"), logged + 1);
    std::vector<std::string> left;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir.path())) {
      if (entry.path().filename() != "in.mp4" && entry.path().filename() != "sub") left.push_back(entry.path());
    }
    EXPECT_TRUE(left.empty()) << "something ran: " << left.front();
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
