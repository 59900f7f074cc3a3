// What the engine adds to an ffmpeg run, measured so that a figure means
// something on a noisy shared machine: a task submitted through the exports
// (plan, duration, polling, reports, completion) against the very same ffmpeg
// argv run directly, on a clip long enough that ffmpeg's own work dominates.
// For a convert and a cut it prints min and median of each side and the
// median of the per-pair ratios; then a three-operation chain against the
// same three operations as three tasks, given as files and with a "process"
// graph first.
//
// Fairness: every comparison is warmed up once (caches, the engine's probe
// memory) before it is timed; the side that runs first alternates from pair to
// pair; every output is deleted before its run and probed after it (streams,
// picture size, duration), so a run that failed, or wrote something else, ends
// the benchmark instead of being timed. ffmpeg runs from a folder of the
// benchmark's own (links to the build's ffmpeg and ffprobe): a daemon starting
// beside it ends the stray ffmpeg processes of its own folder only.
//
// Run: <build>/bin/task_run_bench [repetitions]   (default 7)
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <rapidjson/document.h>

#include "commands/command_plan.h"
#include "commands/task_operation.h"
#include "common/command_line.h"
#include "common/command_quote.h"
#include "common/subprocess.h"
#include "qelapi.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The benchmark's own program folder (links to the build's ffmpeg and ffprobe).
fs::path gProgramDir;

std::string program(const char* name) { return (gProgramDir / name).string(); }

void makeProgramFolder(const fs::path& folder) {
  fs::create_directories(folder);
  for (const char* name : {"ffmpeg", "ffprobe"}) {
    fs::create_symlink(fs::canonical(fs::path(QEL_TEST_BIN_DIR) / name), folder / name);
  }
  gProgramDir = folder;
}

// A JSON string of a text without control characters.
std::string jsonPath(const std::string& path) {
  std::string text = "\"";
  for (char c : path) {
    if (c == '"' || c == '\\') text += '\\';
    text += c;
  }
  return text + "\"";
}

void runOrThrow(const std::vector<std::string>& argv) {
  const qel::CapturedRun run = qel::runAndCapture(argv, /*mergeStderr=*/true);
  if (!run.started || run.exitCode != 0) throw std::runtime_error("ffmpeg failed: " + run.output);
}

// ---- Checking a result by what it holds -----------------------------------------

// What an output must hold: its picture size, its length and whether it has sound.
struct Expected {
  int width = 0;
  int height = 0;
  double seconds = 0;
  bool audio = false;
};

// Probes `path` and throws unless it holds what `expected` says (the length
// within half a second).
void checkOutput(const std::string& path, const Expected& expected) {
  const qel::CapturedRun run = qel::runAndCapture(
      {program("ffprobe"), "-v", "error", "-print_format", "json", "-show_format", "-show_streams", path},
      /*mergeStderr=*/false);
  rapidjson::Document doc;
  if (run.started && run.exitCode == 0) doc.Parse(run.output.c_str(), run.output.size());
  if (!run.started || run.exitCode != 0 || doc.HasParseError() || !doc.IsObject() || !doc.HasMember("streams") ||
      !doc["streams"].IsArray()) {
    throw std::runtime_error("no readable output " + path + ": " + run.output);
  }
  int videos = 0;
  int audios = 0;
  int width = 0;
  int height = 0;
  for (const auto& stream : doc["streams"].GetArray()) {
    if (!stream.IsObject() || !stream.HasMember("codec_type") || !stream["codec_type"].IsString()) continue;
    const std::string type = stream["codec_type"].GetString();
    if (type == "video") {
      if (++videos == 1 && stream.HasMember("width") && stream["width"].IsInt() && stream.HasMember("height") &&
          stream["height"].IsInt()) {
        width = stream["width"].GetInt();
        height = stream["height"].GetInt();
      }
    } else if (type == "audio") {
      ++audios;
    }
  }
  double seconds = -1;
  if (doc.HasMember("format") && doc["format"].IsObject() && doc["format"].HasMember("duration") &&
      doc["format"]["duration"].IsString()) {
    seconds = std::atof(doc["format"]["duration"].GetString());
  }
  if (videos != 1 || width != expected.width || height != expected.height || audios != (expected.audio ? 1 : 0) ||
      std::fabs(seconds - expected.seconds) > 0.5) {
    throw std::runtime_error(fmt::format(
        "{} holds {} video ({}x{}) and {} audio streams, {:.2f} s; expected one video ({}x{}), {} audio, {:.2f} s",
        path, videos, width, height, audios, seconds, expected.width, expected.height, expected.audio ? 1 : 0,
        expected.seconds));
  }
}

// ---- The engine, with a completion wait -------------------------------------

std::mutex gMutex;
std::condition_variable gDone;
std::map<uint64_t, bool> gCompleted;
uint64_t gNextTaskId = 1;  // never reused, so a completion is never stale

void onComplete(void*, uint64_t id, const char*) {
  {
    std::lock_guard<std::mutex> lock(gMutex);
    gCompleted[id] = true;
  }
  gDone.notify_all();
}

void onProgress(void*, uint64_t, const char*) {}

class Engine {
 public:
  explicit Engine(const fs::path& dir) {
    const std::string config = fmt::format(
        R"({{"log_level":"notice","log_path":"{0}","tmp_path":"{0}","qel_id":"bench","ffmpeg_pathname":"{1}","ffprobe_pathname":"{2}"}})",
        dir.string(), program("ffmpeg"), program("ffprobe"));
    handle_ = qelapi_init(config.c_str());
    if (handle_ == nullptr) throw std::runtime_error("qelapi_init failed");
    qelapi_set_progress_callback(handle_, &onProgress);
    qelapi_set_complete_callback(handle_, &onComplete);
  }
  ~Engine() { qelapi_un_init(handle_); }
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // Runs a "process" request; the graph of its reply.
  std::string process(const std::string& request) {
    char* reply = nullptr;
    if (qelapi_process_lavfi(handle_, request.c_str(), &reply) != 0 || reply == nullptr) {
      throw std::runtime_error("process request refused: " + request);
    }
    rapidjson::Document doc;
    doc.Parse(reply);
    qelapi_free_str(nullptr, &reply);
    if (doc.HasParseError() || !doc.IsObject() || !doc.HasMember("operation") || !doc["operation"].IsObject() ||
        !doc["operation"].HasMember("output") || !doc["operation"]["output"].IsString()) {
      throw std::runtime_error("process request without a graph: " + request);
    }
    return doc["operation"]["output"].GetString();
  }

  // Submits the task and waits for its completion (which a failed task
  // reaches too: the caller checks what it wrote).
  void run(const std::string& request) {
    const uint64_t id = gNextTaskId++;
    if (qelapi_create_task(handle_, id) != 0 || qelapi_add_task_operation(handle_, id, request.c_str()) != 0 ||
        qelapi_start_task(handle_, id) != 0) {
      throw std::runtime_error("task not accepted: " + request);
    }
    std::unique_lock<std::mutex> lock(gMutex);
    gDone.wait(lock, [&] { return gCompleted[id]; });
  }

 private:
  void* handle_ = nullptr;
};

// ---- Figures -------------------------------------------------------------------

double median(std::vector<double> values) {
  if (values.empty()) return 0.0;
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

double minimum(const std::vector<double>& values) {
  return values.empty() ? 0.0 : *std::min_element(values.begin(), values.end());
}

// One side of a comparison: its outputs are deleted before every run, and
// checked after it; only the run itself is timed.
struct Side {
  std::function<void()> run;
  std::vector<std::string> outputs;
  std::function<void()> check;
};

double timedRun(const Side& side) {
  for (const std::string& output : side.outputs) fs::remove(output);
  const auto began = Clock::now();
  side.run();
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - began).count();
  side.check();
  return ms;
}

struct Pairing {
  std::vector<double> a;
  std::vector<double> b;
  std::vector<double> ratios;  // b / a, per pair
};

// One untimed run of each side, then `repetitions` pairs, the side that goes
// first alternating, so neither always meets a machine the other has warmed.
Pairing comparePairs(int repetitions, const Side& a, const Side& b) {
  timedRun(a);
  timedRun(b);
  Pairing pairing;
  for (int i = 0; i < repetitions; ++i) {
    double ta = 0;
    double tb = 0;
    if (i % 2 == 0) {
      ta = timedRun(a);
      tb = timedRun(b);
    } else {
      tb = timedRun(b);
      ta = timedRun(a);
    }
    pairing.a.push_back(ta);
    pairing.b.push_back(tb);
    pairing.ratios.push_back(tb / ta);
  }
  return pairing;
}

void print(const std::string& title, const char* nameA, const char* nameB, const Pairing& p) {
  std::printf("%s\n", title.c_str());
  std::printf("  %-22s min %8.1f ms  median %8.1f ms\n", nameA, minimum(p.a), median(p.a));
  std::printf("  %-22s min %8.1f ms  median %8.1f ms\n", nameB, minimum(p.b), median(p.b));
  std::printf("  median ratio %s/%s: %.3f  (%zu pairs, after one warm-up run each, first side alternating)\n\n", nameB,
              nameA, median(p.ratios), p.ratios.size());
}

// The argv the engine's runner starts for a one-command task, exactly.
std::vector<std::string> taskArgv(const std::string& request) {
  qel::CommandBuilder builder;
  const std::vector<qel::FFmpegCommand> commands = builder.buildCommands(qel::parseTaskOperations(request.c_str()));
  if (commands.size() != 1) throw std::runtime_error("expected one command: " + request);
  const std::optional<std::string> quoted = qel::quoteForCommand(program("ffmpeg"));
  if (!quoted) throw std::runtime_error("the program folder cannot be quoted: " + program("ffmpeg"));
  return qel::splitCommandLine(*quoted + " -y -v error -stats " + commands[0].commandLine);
}

std::string oneOperation(const std::string& in, const std::string& transform, const std::string& out) {
  return fmt::format(R"({{"operations":[{{"input":[{{"type":1,"value":{}}}],"transform":"{}",)"
                     R"("output":[{{"type":1,"value":{}}}]}}]}})",
                     jsonPath(in), transform, jsonPath(out));
}

}  // namespace

int main(int argc, char** argv) {
  const int repetitions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
  const fs::path dir = fs::temp_directory_path() / fmt::format("qel-task-bench-{}", ::getpid());
  fs::create_directories(dir);
  try {
    makeProgramFolder(dir / "bin");
    const std::string clip = (dir / "in.mp4").string();
    runOrThrow({program("ffmpeg"),
                "-hide_banner",
                "-nostdin",
                "-v",
                "error",
                "-y",
                "-f",
                "lavfi",
                "-i",
                "testsrc=size=640x360:rate=25:duration=20",
                "-f",
                "lavfi",
                "-i",
                "sine=frequency=440:duration=20",
                "-ac",
                "2",
                "-c:v",
                "libx264",
                "-c:a",
                "aac",
                clip});
    Engine engine(dir);

    struct Case {
      const char* title;
      std::string transform;
      Expected expected;
    };
    const std::vector<Case> cases = {
        {"Convert (20 s 640x360 clip to libx264 320x180):", "-vf scale=320:180 -c:v libx264", {320, 180, 20, true}},
        {"Cut (seconds 5 to 15 of the same clip):", "-ss 5 -to 15", {640, 360, 10, true}},
    };
    for (const Case& c : cases) {
      const std::string direct = (dir / "direct.mp4").string();
      const std::string out = (dir / "task.mp4").string();
      const std::string request = oneOperation(clip, c.transform, out);
      // The direct run is the task's own argv with only the output path changed.
      std::vector<std::string> argvDirect = taskArgv(request);
      if (argvDirect.back() != out) throw std::runtime_error("the task's output is not its last argument");
      argvDirect.back() = direct;
      const Side directSide{[&] { runOrThrow(argvDirect); }, {direct}, [&] { checkOutput(direct, c.expected); }};
      const Side taskSide{[&] { engine.run(request); }, {out}, [&] { checkOutput(out, c.expected); }};
      print(c.title, "direct ffmpeg", "task (exports)", comparePairs(repetitions, directSide, taskSide));
    }

    // Three operations chained through intermediates, against the same three
    // operations as three separate tasks: first all given as files, then the
    // first one a cropping graph from a "process" request.
    const std::string mid1 = (dir / "mid1.mp4").string();
    const std::string mid2 = (dir / "mid2.mp4").string();
    const std::string chainOut = (dir / "chain.mp4").string();
    const std::string s1 = (dir / "s1.mp4").string();
    const std::string s2 = (dir / "s2.mp4").string();
    const std::string s3 = (dir / "s3.mp4").string();
    const Expected padded{200, 120, 20, true};
    const std::string graph = engine.process(fmt::format(
        R"({{"sid":1,"operation":{{"input":[{{"type":1,"value":{},"duration":20}}],"transform":"crop=320:180:0:0",)"
        R"("description":"crop","outputConfig":""}}}})",
        jsonPath(clip)));
    struct ChainCase {
      const char* title;
      std::string firstInput;  // a JSON input item
      std::string firstTransform;
    };
    const ChainCase chains[] = {
        {"given as files", fmt::format(R"({{"type":1,"value":{}}})", jsonPath(clip)), "-vf crop=320:180:0:0"},
        {"the first a \"process\" graph", fmt::format(R"({{"type":2,"value":{}}})", jsonPath(graph)), ""},
    };
    for (const ChainCase& c : chains) {
      const std::string chain = fmt::format(
          R"({{"operations":[)"
          R"({{"input":[{0}],"transform":"{4}","output":[{{"type":2,"value":{1}}}]}},)"
          R"({{"input":[{{"type":2,"value":{1}}}],"transform":"-vf scale=160:90","output":[{{"type":2,"value":{2}}}]}},)"
          R"({{"input":[{{"type":2,"value":{2}}}],"transform":"-vf pad=200:120:20:15",)"
          R"("output":[{{"type":1,"value":{3}}}]}}]}})",
          c.firstInput, jsonPath(mid1), jsonPath(mid2), jsonPath(chainOut), c.firstTransform);
      const std::string first =
          fmt::format(R"({{"operations":[{{"input":[{}],"transform":"{}","output":[{{"type":1,"value":{}}}]}}]}})",
                      c.firstInput, c.firstTransform, jsonPath(s1));
      const Side threeTasks{[&] {
                              engine.run(first);
                              engine.run(oneOperation(s1, "-vf scale=160:90", s2));
                              engine.run(oneOperation(s2, "-vf pad=200:120:20:15", s3));
                            },
                            {s1, s2, s3},
                            [&] {
                              checkOutput(s1, {320, 180, 20, true});
                              checkOutput(s3, padded);
                            }};
      const Side chainedTask{
          [&] { engine.run(chain); }, {mid1, mid2, chainOut}, [&] { checkOutput(chainOut, padded); }};
      const Pairing chained = comparePairs(repetitions, threeTasks, chainedTask);
      qel::CommandBuilder builder;
      const std::size_t passes = builder.buildCommands(qel::parseTaskOperations(chain.c_str())).size();
      print(fmt::format("Three operations (crop, scale, pad), {}: one chained task in {} ffmpeg pass(es):", c.title,
                        passes),
            "three tasks", "one chained task", chained);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "task_run_bench: %s\n", e.what());
    std::error_code ec;
    fs::remove_all(dir, ec);
    return 1;
  }
  std::error_code ec;
  fs::remove_all(dir, ec);
  return 0;
}
