// When a task's result takes the place of its output, through the exports with
// the real ffmpeg: a command writes beside its output and the result replaces
// the output only when the command succeeded. A command that fails, is
// aborted or is cut short by a shutdown leaves the user's file exactly as it
// was, "outputs" lists only files that exist, and nothing of the work is left
// in the folder. An intermediate image sequence takes a free name as a plain
// intermediate does, and its files go with the task.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "QelApi/engine/engine_test_util.h"
#include "qelapi.h"
#include "support/task_events.h"

namespace qel::test {
namespace {

namespace fs = std::filesystem;

// A source that never ends on its own, paced to real time.
const char* const kEndlessSource = "testsrc=size=160x120:rate=25";
const char* const kEndlessInputOptions = "-re -f lavfi";

// True once ffmpeg has encoded a second or more: it opens its output before
// it encodes anything.
bool encodingUnderWay(const StateReport& report) {
  return report.text.find("\"usedTime\":\"0") != std::string::npos &&
         report.text.find("\"usedTime\":\"00:00:00\"") == std::string::npos;
}

class OutputInPlaceTest : public EngineTaskTest {
 protected:
  void SetUp() override {
    EngineTaskTest::SetUp();
    makeClip(clip, clipOf(1.0));
    makeClip(target, clipOf(1.0));
    targetBytes = readFile(target);
  }

  // The names in the folder, less the ones given.
  std::set<std::string> namesBut(const std::set<std::string>& known) const {
    std::set<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir_.path())) {
      const std::string name = entry.path().filename().string();
      if (known.count(name) == 0) names.insert(name);
    }
    return names;
  }

  const std::string clip = dir_.file("in.mp4");
  // The user's earlier result, which the task exports onto again.
  const std::string target = dir_.file("result.mp4");
  std::string targetBytes;
};

// ---- A command that does not succeed leaves the user's file alone -------------------

struct UnfinishedCase {
  const char* name;
  // Runs a task that reads `clip`, writes `target` and ends without success;
  // returns its id. `sawTarget` receives the target's bytes while ffmpeg ran,
  // when the case looks at them.
  std::function<uint64_t(void*& handle, const std::string& clip, const std::string& target, std::string& sawTarget)>
      run;
  // The error code of the task's last report (a shutdown reads as an abort).
  int errorCode;
};

void PrintTo(const UnfinishedCase& c, std::ostream* os) { *os << c.name; }

class UnfinishedCommandTest : public OutputInPlaceTest, public testing::WithParamInterface<UnfinishedCase> {};

std::string endlessOnto(const std::string& out) {
  return taskRequest(
      {taskOperation({ioItem(1, kEndlessSource, kEndlessInputOptions)}, "-vf scale=80:60", {ioItem(1, out)})});
}

TEST_P(UnfinishedCommandTest, TheUsersFileStaysAsItWas) {
  const UnfinishedCase& c = GetParam();
  std::string sawTarget = targetBytes;
  const uint64_t id = c.run(handle_, clip, target, sawTarget);
  ASSERT_TRUE(taskEvents().waitForCompletion(id));
  const std::vector<StateReport> reports = taskEvents().reports(id);
  ASSERT_FALSE(reports.empty());
  const StateReport& last = reports.back();
  EXPECT_TRUE(last.error) << last.text;
  EXPECT_EQ(last.errorCode, c.errorCode) << last.text;
  EXPECT_TRUE(last.outputs.empty()) << last.text;

  EXPECT_TRUE(sawTarget == targetBytes) << "the user's file changed while ffmpeg ran";
  EXPECT_TRUE(readFile(target) == targetBytes) << "the user's file was left changed";
  EXPECT_EQ(namesBut({"in.mp4", "result.mp4"}), std::set<std::string>{}) << "the work was left in the folder";
}

INSTANTIATE_TEST_SUITE_P(
    Endings, UnfinishedCommandTest,
    testing::Values(
        // ffmpeg opens the output, writes its header and then finds nothing to
        // encode: a failure.
        UnfinishedCase{
            "Fails",
            [](void*& handle, const std::string& clip, const std::string& target, std::string&) {
              makeClip(clip, clipOf(3.0));
              const std::string graph = processGraph(handle, "cut", {processInput(1, clip, 3)}, "-ss 7 -to 7");
              EXPECT_FALSE(graph.empty());
              const uint64_t id = nextTaskId();
              EXPECT_EQ(
                  submitTask(handle, id, taskRequest({taskOperation({ioItem(2, graph)}, "", {ioItem(1, target)})})), 0);
              return id;
            },
            6517},
        UnfinishedCase{"Aborted",
                       [](void*& handle, const std::string&, const std::string& target, std::string& sawTarget) {
                         const uint64_t id = nextTaskId();
                         taskEvents().onProgress(
                             [id, target, &sawTarget](void* h, uint64_t task, const StateReport& report) {
                               if (task != id || report.error || !encodingUnderWay(report)) return;
                               sawTarget = readFile(target);
                               qelapi_remove_task(h, task);
                             });
                         EXPECT_EQ(submitTask(handle, id, endlessOnto(target)), 0);
                         return id;
                       },
                       6514},
        UnfinishedCase{"EngineShutDown",
                       [](void*& handle, const std::string&, const std::string& target, std::string& sawTarget) {
                         const uint64_t id = nextTaskId();
                         EXPECT_EQ(submitTask(handle, id, endlessOnto(target)), 0);
                         EXPECT_TRUE(taskEvents().waitForReport(id, encodingUnderWay));
                         sawTarget = readFile(target);
                         qelapi_un_init(handle);
                         handle = nullptr;
                         return id;
                       },
                       6514},
        // The format ffmpeg uses is the last one in any spelling: this output
        // is written as mp4, so it is staged like any other (read as "null",
        // it would be written in place and left broken by the failure).
        UnfinishedCase{"FailsInAFormatGivenWithAStreamSpecifier",
                       [](void*& handle, const std::string& clip, const std::string& target, std::string&) {
                         const uint64_t id = nextTaskId();
                         EXPECT_EQ(submitTask(handle, id,
                                              taskRequest({taskOperation(
                                                  {ioItem(1, clip)}, "-frames:v 5 -f null -f:v mp4 -profile:v nosuchprofile",
                                                  {ioItem(1, target)})})),
                                   0);
                         return id;
                       },
                       6517}),
    [](const testing::TestParamInfo<UnfinishedCase>& param_info) { return std::string(param_info.param.name); });

// A transform that names the output once more, in any spelling, would have
// ffmpeg write that file in place besides the output argument: the command is
// refused before it runs, and the run it would have been, aborted, cannot
// leave the file changed.
TEST_F(OutputInPlaceTest, AnOutputNamedAgainByTheTransformIsRefused) {
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"same spelling", target},
      {"file: prefix", "file:" + target},
      {"dot and doubled slash", dir_.path() + "/.//result.mp4"},
  };
  for (const auto& [name, again] : cases) {
    SCOPED_TRACE(name);
    const uint64_t id = nextTaskId();
    std::string sawTarget = targetBytes;
    taskEvents().onProgress([id, this, &sawTarget](void* h, uint64_t task, const StateReport& report) {
      if (task != id || report.error || !encodingUnderWay(report)) return;
      sawTarget = readFile(target);
      qelapi_remove_task(h, task);
    });
    const std::string transform = "-vf scale=80:60 -an \"" + again + "\" -vf scale=80:60";
    ASSERT_EQ(submitTask(handle_, id,
                         taskRequest({taskOperation({ioItem(1, kEndlessSource, kEndlessInputOptions)}, transform,
                                                    {ioItem(1, target)})})),
              0);
    ASSERT_TRUE(taskEvents().waitForCompletion(id));
    taskEvents().onProgress(nullptr);
    const StateReport last = taskEvents().reports(id).back();
    EXPECT_TRUE(last.error) << last.text;
    EXPECT_NE(last.errorDetail.find("refused"), std::string::npos) << last.text;
    EXPECT_TRUE(last.outputs.empty()) << last.text;
    EXPECT_TRUE(sawTarget == targetBytes) << "the user's file changed while ffmpeg ran";
    EXPECT_TRUE(readFile(target) == targetBytes) << "the user's file was left changed";
    EXPECT_EQ(namesBut({"in.mp4", "result.mp4"}), std::set<std::string>{}) << "the work was left in the folder";
  }
}

// ---- A command that succeeds replaces the file -------------------------------------------

TEST_F(OutputInPlaceTest, TheResultReplacesTheFileOnlyOnceTheCommandSucceeded) {
  // A 4-second clip read at its own pace: ffmpeg is seen at work.
  makeClip(clip, clipOf(4.0));
  const uint64_t id = nextTaskId();
  std::vector<std::string> seenWhileRunning;
  taskEvents().onProgress([&](void*, uint64_t task, const StateReport& report) {
    if (task == id && !report.error && encodingUnderWay(report) && report.progress < 100) {
      seenWhileRunning.push_back(readFile(target));
    }
  });
  ASSERT_EQ(submitTask(handle_, id,
                       taskRequest({taskOperation({ioItem(1, clip, "-re")}, "-vf scale=80:60", {ioItem(1, target)})})),
            0);
  ASSERT_TRUE(taskEvents().waitForCompletion(id));
  const StateReport last = taskEvents().reports(id).back();
  EXPECT_FALSE(last.error) << last.text;
  EXPECT_EQ(last.outputs, std::vector<std::string>{target});

  ASSERT_FALSE(seenWhileRunning.empty()) << "ffmpeg was never seen at work";
  for (const std::string& bytes : seenWhileRunning) {
    EXPECT_TRUE(bytes == targetBytes) << "the user's file changed while ffmpeg ran";
  }
  const ProbeInfo result = probe(target);
  EXPECT_EQ(result.width, 80) << result.error;
  EXPECT_NEAR(result.duration, 4.0, 0.3);
  EXPECT_EQ(namesBut({"in.mp4", "result.mp4"}), std::set<std::string>{}) << "the work was left in the folder";
}

TEST_F(OutputInPlaceTest, AReexportKeepsWhatTheOwnerSetOnTheFile) {
  // The daemon may run as root over a user's private file: the result stays
  // private and stays the user's, as ffmpeg writing in place would leave it.
  const bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::chown(target.c_str(), 65534, 65534), 0);
  }
  ASSERT_EQ(::chmod(target.c_str(), 0600), 0);
  struct stat before {};
  ASSERT_EQ(::stat(target.c_str(), &before), 0);

  const StateReport last =
      runTask(handle_, taskRequest({taskOperation({ioItem(1, clip)}, "-vf scale=80:60", {ioItem(1, target)})}));
  EXPECT_FALSE(last.error) << last.text;
  EXPECT_EQ(last.outputs, std::vector<std::string>{target});
  const ProbeInfo result = probe(target);
  EXPECT_EQ(result.width, 80) << result.error;
  struct stat after {};
  ASSERT_EQ(::stat(target.c_str(), &after), 0);
  EXPECT_EQ(after.st_mode & 07777, 0600u);
  EXPECT_EQ(after.st_uid, before.st_uid);
  EXPECT_EQ(after.st_gid, before.st_gid);
  EXPECT_NE(after.st_ino, before.st_ino) << "the result was written anew beside the file";
}

TEST_F(OutputInPlaceTest, ASequenceThatCannotTakeEveryPlaceTakesNone) {
  writeFile(dir_.file("s1.png"), "the user's first");
  writeFile(dir_.file("s3.png"), "the user's third");
  fs::create_directory(dir_.file("s2.png"));
  const StateReport last = runTask(
      handle_, taskRequest({taskOperation({ioItem(1, clip)}, "-frames:v 3", {ioItem(1, dir_.file("s%d.png"))})}));
  EXPECT_TRUE(last.error) << last.text;
  EXPECT_EQ(last.errorCode, 6517) << last.text;
  EXPECT_EQ(last.errorDetail, dir_.file("s2.png") + ": Is a directory");
  EXPECT_TRUE(last.outputs.empty()) << last.text;
  EXPECT_EQ(readFile(dir_.file("s1.png")), "the user's first");
  EXPECT_EQ(readFile(dir_.file("s3.png")), "the user's third");
  EXPECT_EQ(namesBut({"in.mp4", "result.mp4"}), (std::set<std::string>{"s1.png", "s2.png", "s3.png"}));
}

TEST_F(OutputInPlaceTest, AFolderThatCannotHoldThePrivateFolderIsNamed) {
  // Writing in place there would lose the promise that a failure leaves the
  // user's file as it was: refused, and the detail says which folder. /sys
  // holds no folder of anyone's, root's either.
  std::string probeFolder = "/sys/qel-XXXXXX";
  if (::mkdtemp(probeFolder.data()) != nullptr) {
    fs::remove(probeFolder);
    GTEST_SKIP() << "this machine lets a folder be made in /sys";
  }
  const StateReport last =
      runTask(handle_, taskRequest({taskOperation({ioItem(1, clip)}, "-vf scale=80:60", {ioItem(1, "/sys/qel.mp4")})}));
  EXPECT_TRUE(last.error) << last.text;
  EXPECT_EQ(last.errorDetail.rfind("the output's folder cannot be written: /sys: ", 0), 0u) << last.errorDetail;
  EXPECT_TRUE(last.outputs.empty()) << last.text;
}

// ---- A command that ends without its output ------------------------------------------------

TEST_F(OutputInPlaceTest, ACommandThatEndsWithoutItsOutputFailsAndNamesIt) {
  // ffmpeg ends without an error, and without opening its output, when an
  // option asks it for information only.
  struct Case {
    const char* what;
    const char* output;
    const char* usersFile;  // the user's earlier result, under the output's name
    const char* transform;
  };
  const Case cases[] = {{"a picture", "shot.png", "shot.png", "-version"},
                        {"a picture sequence", "shot%d.png", "shot1.png", "-frames:v 3 -formats"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string out = dir_.file(c.output);
    const std::string usersFile = dir_.file(c.usersFile);
    writeFile(usersFile, "the user's earlier result");
    const StateReport last =
        runTask(handle_, taskRequest({taskOperation({ioItem(1, clip)}, c.transform, {ioItem(1, out)})}));
    EXPECT_TRUE(last.error) << last.text;
    EXPECT_EQ(last.errorCode, 6517) << last.text;
    EXPECT_EQ(last.errorDetail, "output file was not written: " + out);
    EXPECT_TRUE(last.outputs.empty()) << last.text;
    EXPECT_EQ(readFile(usersFile), "the user's earlier result");
    EXPECT_EQ(namesBut({"in.mp4", "result.mp4", c.usersFile}), std::set<std::string>{}) << "work left in the folder";
    fs::remove(usersFile);
  }
}

TEST_F(OutputInPlaceTest, AFormatThatWritesNoFileSucceedsWithoutOne) {
  // The user's file under the output's name is neither touched nor listed.
  const StateReport last =
      runTask(handle_, taskRequest({taskOperation({ioItem(1, clip)}, "-f null", {ioItem(1, target)})}));
  EXPECT_FALSE(last.error) << last.text;
  EXPECT_TRUE(last.outputs.empty()) << last.text;
  EXPECT_TRUE(readFile(target) == targetBytes);
  EXPECT_EQ(namesBut({"in.mp4", "result.mp4"}), std::set<std::string>{});
}

// ---- A picture's name near what ffmpeg's picture writer holds -------------------------------

TEST_F(OutputInPlaceTest, ThePicturesWithTheLongestNameThatFitsAreWrittenWhole) {
  // ffmpeg's picture writer holds 1023 bytes of a name. It is given the
  // output in the private folder, 16 bytes longer ("file:", "qel-XXXXXX/"),
  // and a frame number may take 11 characters.
  constexpr std::size_t kNameBytes = 1023 - 16;
  constexpr std::size_t kWidestFrameNumber = 11;
  const DeepFolder deep = makeDeepFolder(dir_.path());
  const std::string precious = readFile(deep.precious);
  makeClip(clip, clipOf(2.0));
  struct Case {
    const char* what;
    const char* transform;
    const char* tail;                 // the end of the file name
    std::vector<std::string> frames;  // the files written, by the end of their names
  };
  const Case cases[] = {{"one picture", "-frames:v 1", ".png", {".png"}},
                        {"a sequence", "-frames:v 3", "%03d.png", {"001.png", "002.png", "003.png"}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string tail = c.tail;
    const std::size_t filled = tail == ".png" ? 0 : kWidestFrameNumber - std::string("%03d").size();
    const std::string stem(kNameBytes - filled - deep.path.size() - 1 - tail.size(), 'w');
    const std::string out = deep.path + "/" + stem + tail;
    const StateReport last =
        runTask(handle_, taskRequest({taskOperation({ioItem(1, clip)}, c.transform, {ioItem(1, out)})}));
    EXPECT_FALSE(last.error) << last.text;

    std::vector<std::string> written;
    for (const std::string& frame : c.frames) written.push_back(deep.path + "/" + stem + frame);
    EXPECT_EQ(last.outputs, written);
    std::set<std::string> names{fs::path(deep.precious).filename().string()};
    for (const std::string& file : written) {
      names.insert(fs::path(file).filename().string());
      const ProbeInfo picture = probe(file);
      ASSERT_TRUE(picture.ok) << picture.error;
      EXPECT_EQ(picture.codecNames, std::vector<std::string>{"png"});
      EXPECT_EQ(picture.width, 160);
      EXPECT_EQ(picture.height, 120);
    }
    std::set<std::string> present;
    for (const fs::directory_entry& entry : fs::directory_iterator(deep.path)) {
      present.insert(entry.path().filename().string());
    }
    EXPECT_EQ(present, names) << "a file nobody named was written";
    EXPECT_TRUE(readFile(deep.precious) == precious) << "the user's file beside the output changed";
    for (const std::string& file : written) fs::remove(file);
  }
}

// ---- An intermediate image sequence --------------------------------------------------------

TEST_F(OutputInPlaceTest, AnIntermediateSequenceTakesAFreeNameAndLeavesNoFile) {
  // Five frames go through an intermediate sequence that two operations read;
  // the user's pictures under the sequence's name stay, and no frame is left.
  ClipSpec frames = clipOf(1.0);
  frames.fps = 5;
  frames.audio = false;
  makeClip(clip, frames);
  ClipSpec still = frames;
  still.extraArgs = {"-frames:v", "1"};
  makeClip(dir_.file("f1.png"), still);
  writeFile(dir_.file("f2.png"), "the user's second picture");
  const std::string first = readFile(dir_.file("f1.png"));

  const std::string sequence = dir_.file("f%d.png");
  const std::string out2 = dir_.file("out2.mkv");
  const std::string out3 = dir_.file("out3.mkv");
  const uint64_t id = nextTaskId();
  ASSERT_EQ(submitTask(handle_, id,
                       taskRequest({taskOperation({ioItem(1, clip)}, "-vf scale=16:12", {ioItem(2, sequence)}),
                                    taskOperation({ioItem(2, sequence)}, "-vf scale=8:6", {ioItem(1, out2)}),
                                    taskOperation({ioItem(2, sequence)}, "-vf scale=4:4", {ioItem(1, out3)})})),
            0);
  ASSERT_TRUE(taskEvents().waitForCompletion(id));
  SCOPED_TRACE(loggedCommands(sharedLogFile(), id));
  const StateReport last = taskEvents().reports(id).back();
  EXPECT_FALSE(last.error) << last.text;

  EXPECT_TRUE(readFile(dir_.file("f1.png")) == first) << "the user's picture was overwritten";
  EXPECT_EQ(readFile(dir_.file("f2.png")), "the user's second picture");
  for (const std::string& out : {out2, out3}) {
    const ProbeInfo result = probe(out);
    EXPECT_TRUE(result.ok) << result.error;
    // Read from the task's own five frames at 25 per second, not the user's two.
    EXPECT_NEAR(result.duration, 0.2, 0.1) << out;
  }
  EXPECT_EQ(namesBut({"in.mp4", "result.mp4", "f1.png", "f2.png", "out2.mkv", "out3.mkv"}), std::set<std::string>{})
      << "files of the intermediate were left";
}

}  // namespace
}  // namespace qel::test
