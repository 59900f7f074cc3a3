// Files named by a hostile local program, run through every operation of the
// README and every task form with the real ffmpeg: a task whose input is the
// graph a "process" request returned, a task over the file itself, and a
// chain of two operations through an intermediate file. Whatever the name
// holds (double quotes, a backslash at the end, label text, a "file:"
// spelling, blanks at either end, "$(...)", a newline, bytes that are not
// UTF-8), nothing is injected into the command, no input or bystander file is
// changed or deleted, nothing is created outside the output folder, and no
// failure is reported as success: a task that reports success has written an
// output ffprobe can read.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "commands/filter_text.h"
#include "common/command_quote.h"
#include "common/subprocess.h"
#include "support/task_events.h"
#include "qelapi.h"
#include "support/test_support.h"

namespace qel::test {
namespace {

namespace fs = std::filesystem;

struct HostileName {
  const char* name;
  std::string prefix;    // put in front of every media file's name
  std::string suffix;    // put after it (after the extension)
  std::string spelling;  // put in front of every path a request gives
};

void PrintTo(const HostileName& name, std::ostream* os) { *os << name.name; }

const std::vector<HostileName> kNames = {
    {"Plain", "", "", ""},
    {"DoubleQuote", "q\" -i m ", "", ""},
    {"TrailingBackslash", "", "\\", ""},
    {"SplitWords", "m -t 1 VICTIM.mp4 x ", "", ""},
    {"OutLabel", "[out0]", "", ""},
    {"FileSpelling", "", "", "file:"},
    {"FileInName", "file:", "", ""},
    {"Blanks", "  ", "  ", ""},
    {"CommandSubstitution", "$(touch pwned)", "", ""},
    {"Newline", "new\nline ", "", ""},
    {"NotUtf8", "\xff\xfe\xc3", "", ""},
};

// The README's files, as its examples name them.
const std::vector<std::string> kMedia = {"in.mp4", "clip2.mp4", "music.mp3", "sub.srt", "logo.png", "a.png", "b.png"};

// A JSON string's content (without its quotes).
std::string jsonContent(const std::string& text) {
  const std::string quoted = jsonText(text);
  return quoted.substr(1, quoted.size() - 2);
}

class HostileNamesTest : public testing::TestWithParam<HostileName> {
 protected:
  void SetUp() override {
    fs::create_directories(dir.file("media"));
    fs::create_directories(dir.file("out"));
    fs::create_directories(dir.file("logs"));
    makeMedia();
    // What the hostile texts would point at if a path were ever split or
    // edited: a bystander the words name, the clip a stripped label leaves,
    // the file the quote would open.
    for (const std::string bystander : {"VICTIM.mp4", "m", "x", ".mp4", "in.mp4"}) {
      const std::string path = dir.file("media/" + bystander);
      if (!fs::exists(path)) writeFile(path, "bystander " + bystander);
    }
    before = folderSnapshot(dir.path());

    const std::string config = "{\"log_level\":\"debug\",\"log_path\":" + jsonText(dir.file("logs")) +
                               ",\"tmp_path\":" + jsonText(dir.file("logs")) + ",\"qel_id\":\"hostile\"" +
                               ",\"ffmpeg_pathname\":" + jsonText(ffmpegPath()) +
                               ",\"ffprobe_pathname\":" + jsonText(ffprobePath()) + "}";
    handle = qelapi_init(config.c_str());
    ASSERT_NE(handle, nullptr);
    taskEvents().attach(handle);
  }

  void TearDown() override {
    if (handle != nullptr) qelapi_un_init(handle);
  }

  std::string media(const std::string& name) const {
    return dir.file("media/" + GetParam().prefix + name + GetParam().suffix);
  }
  // The path as a request names it.
  std::string spelled(const std::string& name) const { return GetParam().spelling + media(name); }

  // The README's media, made with hostile names where the file system allows.
  void makeMedia() {
    auto run = [&](const std::vector<std::string>& arguments, const std::string& name) {
      // ffmpeg itself is given the plain name, then the file is renamed: the
      // fixture must not depend on the code under test.
      const std::string plain = dir.file("media/plain-" + name);
      const CapturedRun made = runAndCapture(
          [&] {
            std::vector<std::string> argv{ffmpegPath(), "-hide_banner", "-nostdin", "-y"};
            argv.insert(argv.end(), arguments.begin(), arguments.end());
            argv.push_back(plain);
            return argv;
          }(),
          true);
      ASSERT_EQ(made.exitCode, 0) << made.output;
      fs::rename(plain, media(name));
    };
    const std::vector<std::string> clip = {"-f",        "lavfi", "-i",      "color=c=black:s=160x120:r=25:d=2",
                                           "-f",        "lavfi", "-i",      "sine=d=2",
                                           "-shortest", "-c:v",  "libx264", "-pix_fmt",
                                           "yuv420p",   "-c:a",  "aac"};
    run(clip, "in.mp4");
    std::vector<std::string> second = clip;
    second[3] = "testsrc=s=160x120:r=25:d=2";
    run(second, "clip2.mp4");
    run({"-f", "lavfi", "-i", "sine=f=330:d=2"}, "music.mp3");
    for (const char* picture : {"logo.png", "a.png", "b.png"}) {
      run({"-f", "lavfi", "-i", "color=white:s=32x24", "-frames:v", "1"}, picture);
    }
    writeFile(media("sub.srt"), "1\n00:00:00,000 --> 00:00:02,000\nHELLO\n\n");
    // Where a stripped [out0] would lead: a red clip of its own.
    if (GetParam().prefix == "[out0]") {
      std::vector<std::string> red = clip;
      red[3] = "color=c=red:s=160x120:r=25:d=2";
      const std::string plain = dir.file("media/plain-red.mp4");
      std::vector<std::string> argv{ffmpegPath(), "-hide_banner", "-nostdin", "-y"};
      argv.insert(argv.end(), red.begin(), red.end());
      argv.push_back(plain);
      ASSERT_EQ(runAndCapture(argv, true).exitCode, 0);
      fs::rename(plain, dir.file("media/in.mp4"));
    }
  }

  // The README line with its /media files renamed; nullopt when a name cannot
  // be written into the caller's own graph (the caller escapes it, and a name
  // that has no escaped form cannot be given at all).
  std::optional<std::string> localise(std::string text) const {
    for (const std::string& name : kMedia) {
      const std::string from = "/media/" + name;
      for (std::size_t at = text.find(from); at != std::string::npos;) {
        const bool inGraph = at >= 7 && text.compare(at - 7, 7, "movie='") == 0;
        std::string to;
        if (inGraph) {
          const std::optional<std::string> escaped = escapeFilterPath(spelled(name));
          if (!escaped) return std::nullopt;
          to = jsonContent(*escaped);
        } else {
          to = jsonContent(spelled(name));
        }
        text.replace(at, from.size(), to);
        at = text.find(from, at + to.size());
      }
    }
    return text;
  }

  // Runs one task and checks what it reported against what it wrote.
  void runTask(const std::string& label, const std::string& request, const std::string& output) {
    SCOPED_TRACE(label + ": " + request);
    const uint64_t id = nextTaskId();
    const int result = submitTask(handle, id, request);
    if (result != 0) {
      ++refused;
      outcomes += label + ": refused " + std::to_string(result) + "\n";
      return;
    }
    ASSERT_TRUE(taskEvents().waitForCompletion(id, std::chrono::seconds(120)));
    const std::vector<StateReport> reports = taskEvents().reports(id);
    ASSERT_FALSE(reports.empty());
    const StateReport& last = reports.back();
    if (last.error || last.errorCode != 0) {
      ++failed;
      outcomes += label + ": failed: " + last.errorDetail + "\n" + loggedCommands(dir.file("logs/QelApi.log"), id);
      EXPECT_FALSE(fs::exists(output)) << "a failed task left its output behind";
      return;
    }
    ++succeeded;
    const ProbeInfo info = probe(output);
    EXPECT_TRUE(info.ok) << "reported success without a readable output: " << info.error;
    EXPECT_GE(info.streams.size(), 1u) << "reported success for an output without streams";
    if (info.count("video") > 0) {
      EXPECT_FALSE(firstFrameIsRed(output)) << "the task read the red decoy";
    }
  }

  // The first frame averaged to one pixel is red: the decoy that a name with
  // its label text stripped would open.
  static bool firstFrameIsRed(const std::string& path) {
    const CapturedRun run = runAndCapture({ffmpegPath(), "-v", "error", "-nostdin", "-i", path, "-frames:v", "1", "-vf",
                                           "scale=1:1", "-f", "rawvideo", "-pix_fmt", "rgb24", "-"},
                                          false);
    if (run.exitCode != 0 || run.output.size() < 3) return false;
    const auto channel = [&](int i) { return static_cast<unsigned char>(run.output[i]); };
    return channel(0) > 150 && channel(1) < 80 && channel(2) < 80;
  }

  void runGraphTasks(std::size_t first, std::size_t last);
  // Ends the engine, then checks the folder and the outcomes.
  void expectNothingDamaged();

  TempDir dir;
  void* handle = nullptr;
  std::map<std::string, std::string> before;
  int refused = 0;
  int failed = 0;
  int succeeded = 0;
  std::string outcomes;  // what each refused or failed task said
};

// The README operations from `first` up to (not including) `last`: each one's
// graph through "process", then a task over it.
void HostileNamesTest::runGraphTasks(std::size_t first, std::size_t last) {
  const std::vector<std::string> examples = readmeOperationExamples();
  ASSERT_GE(examples.size(), last);
  for (std::size_t i = first; i < last; ++i) {
    const std::optional<std::string> request = localise(examples[i]);
    if (!request) continue;
    char* reply = nullptr;
    std::string graph;
    if (qelapi_process_lavfi(handle, request->c_str(), &reply) == 0 && reply != nullptr) {
      rapidjson::Document doc;
      doc.Parse(reply);
      if (doc.IsObject() && doc.HasMember("operation") && doc["operation"].IsObject() &&
          doc["operation"].HasMember("output") && doc["operation"]["output"].IsString()) {
        graph = doc["operation"]["output"].GetString();
      }
    }
    qelapi_free_str(handle, &reply);
    if (graph.empty()) continue;
    EXPECT_TRUE(quotableInCommand(media("in.mp4")))
        << "a graph was made over a name that cannot be quoted: " << *request;
    const bool gif = request->find("ToGif\"") != std::string::npos;
    const std::string output = dir.file("out/op" + std::to_string(i) + (gif ? ".gif" : ".mp4"));
    runTask("graph task " + std::to_string(i),
            taskRequest({taskOperation({ioItem(2, graph)}, "", {ioItem(1, output)})}), output);
  }
}

void HostileNamesTest::expectNothingDamaged() {
  qelapi_un_init(handle);
  handle = nullptr;

  // Nothing that was there has changed or gone; nothing new outside out/.
  const std::map<std::string, std::string> after = folderSnapshot(dir.path());
  for (const auto& [path, content] : before) {
    auto it = after.find(path);
    ASSERT_NE(it, after.end()) << "deleted: " << path;
    EXPECT_TRUE(it->second == content) << "changed: " << path;
  }
  const std::string outFolder = dir.file("out") + "/";
  const std::string logFolder = dir.file("logs");
  for (const auto& [path, content] : after) {
    if (before.count(path) != 0 || path.rfind(outFolder, 0) == 0 || path.rfind(logFolder, 0) == 0) continue;
    ADD_FAILURE() << "created outside the output folder: " << path;
  }
  EXPECT_FALSE(fs::exists("pwned"));
  if (quotableInCommand(media("in.mp4"))) {
    EXPECT_GT(succeeded, 0) << outcomes;
  } else {
    EXPECT_EQ(succeeded, 0);
  }
  const std::string name = GetParam().name;
  if (name == "Plain" || name == "OutLabel" || name == "FileSpelling") {
    EXPECT_EQ(failed + refused, 0) << "every task over ordinary files must succeed\n" << outcomes;
  }
}

// Split in three so that each part stays well within a test's time limit on a
// busy machine.
TEST_P(HostileNamesTest, FirstOperationsThroughTheirGraphs) {
  runGraphTasks(0, 9);
  expectNothingDamaged();
}

TEST_P(HostileNamesTest, OtherOperationsThroughTheirGraphs) {
  runGraphTasks(9, readmeOperationExamples().size());
  expectNothingDamaged();
}

TEST_P(HostileNamesTest, TasksOverTheFilesAndChains) {
  const HostileName& hostile = GetParam();
  // A task over the file itself.
  const std::string direct = dir.file("out/direct.mp4");
  runTask("file task",
          taskRequest({taskOperation({ioItem(1, spelled("in.mp4"))}, "-vf scale=80:60", {ioItem(1, direct)})}), direct);

  // Two operations joined by an intermediate file named like the inputs:
  // merged into one command, and apart (stream copy cannot join a filter), so
  // the intermediate reaches the disk.
  for (const char* second : {"-vf crop=40:30:0:0", "-c:v copy"}) {
    const std::string chained = dir.file(std::string("out/chained") + (second[1] == 'c' ? ".mkv" : ".mp4"));
    const std::string middle = hostile.spelling + dir.file("out/" + hostile.prefix + "middle.mp4" + hostile.suffix);
    runTask(std::string("chained task ") + second,
            taskRequest({taskOperation({ioItem(1, spelled("in.mp4"))}, "-vf scale=80:60", {ioItem(2, middle)}),
                         taskOperation({ioItem(2, middle)}, second, {ioItem(1, chained)})}),
            chained);
  }
  expectNothingDamaged();
}

INSTANTIATE_TEST_SUITE_P(Names, HostileNamesTest, testing::ValuesIn(kNames),
                         [](const testing::TestParamInfo<HostileName>& param_info) {
                           return std::string(param_info.param.name);
                         });

}  // namespace
}  // namespace qel::test
