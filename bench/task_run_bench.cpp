// What the engine adds to an ffmpeg run: one conversion submitted as a task
// through the exports (plan, duration probe, polling, reports, completion)
// against the very same ffmpeg command line run directly. Prints the ratio of
// the two mean wall times after the usual benchmark table.
//
// Run: <build>/bin/task_run_bench (or the path where CMake put it).
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include "qelapi.h"
#include "commands/command_plan.h"
#include "commands/task_operation.h"
#include "common/process.h"

namespace {

namespace fs = std::filesystem;

std::string binPath(const char* program) { return std::string(QEL_TEST_BIN_DIR) + "/" + program; }

// The clip, the request and the folder the benchmarks share.
struct Fixture {
  fs::path dir;
  std::string clip;
  std::string output;
  std::string request;

  Fixture() {
    dir = fs::temp_directory_path() / fmt::format("qel-task-bench-{}", ::getpid());
    fs::create_directories(dir);
    clip = (dir / "in.mp4").string();
    output = (dir / "out.mp4").string();
    CapturedRunOrThrow({binPath("ffmpeg"), "-hide_banner", "-nostdin", "-v", "error", "-y", "-f", "lavfi",
                        "-i", "testsrc=size=320x240:rate=25:duration=4", "-f", "lavfi", "-i",
                        "sine=frequency=440:duration=4", "-ac", "2", clip});
    request = fmt::format(
        R"({{"operations":[{{"input":[{{"type":1,"value":"{}"}}],"transform":"-vf scale=160:120",)"
        R"("output":[{{"type":1,"value":"{}"}}]}}]}})",
        clip, output);
  }
  ~Fixture() {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }

  static void CapturedRunOrThrow(const std::vector<std::string>& argv) {
    qel::CapturedRun run = qel::runAndCapture(argv, /*mergeStderr=*/true);
    if (!run.started || run.exitCode != 0) throw std::runtime_error("ffmpeg failed: " + run.output);
  }
};

Fixture& fixture() {
  static Fixture shared;
  return shared;
}

// The argv the engine's runner starts for the task's one command.
std::vector<std::string> directArgv() {
  qel::CommandBuilder builder(nullptr);
  std::vector<qel::FFmpegCommand> commands =
      builder.buildCommands(qel::parseTaskOperations(fixture().request.c_str()), {});
  if (commands.size() != 1) throw std::runtime_error("expected one command");
  return qel::splitCommandLine("\"" + binPath("ffmpeg") + "\" -y -v error -stats " +
                               commands[0].commandLine);
}

void BM_DirectFfmpeg(benchmark::State& state) {
  const std::vector<std::string> argv = directArgv();
  for (auto _ : state) {
    qel::CapturedRun run = qel::runAndCapture(argv, /*mergeStderr=*/true);
    if (run.exitCode != 0) state.SkipWithError("ffmpeg failed");
  }
}

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

void BM_TaskThroughExports(benchmark::State& state) {
  const std::string config = fmt::format(
      R"({{"log_level":"notice","tmp_path":"{}","qel_id":"bench","ffmpeg_pathname":"{}","ffprobe_pathname":"{}"}})",
      fixture().dir.string(), binPath("ffmpeg"), binPath("ffprobe"));
  void* handle = qelapi_init(config.c_str());
  if (handle == nullptr) {
    state.SkipWithError("qelapi_init failed");
    return;
  }
  qelapi_set_progress_callback(handle, &onProgress);
  qelapi_set_complete_callback(handle, &onComplete);
  for (auto _ : state) {
    const uint64_t id = gNextTaskId++;
    if (qelapi_create_task(handle, id) != 0 ||
        qelapi_add_task_operation(handle, id, fixture().request.c_str()) != 0 ||
        qelapi_start_task(handle, id) != 0) {
      state.SkipWithError("task not accepted");
      break;
    }
    std::unique_lock<std::mutex> lock(gMutex);
    gDone.wait(lock, [&] { return gCompleted[id]; });
  }
  qelapi_un_init(handle);
}

BENCHMARK(BM_DirectFfmpeg)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(8)->Repetitions(3);
BENCHMARK(BM_TaskThroughExports)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(8)->Repetitions(3);

// Keeps the mean wall time per iteration of each benchmark's repetitions.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.iterations == 0) continue;
      Totals& totals = totals_[run.run_name.function_name];
      totals.seconds += run.real_accumulated_time;
      totals.iterations += run.iterations;
    }
    ConsoleReporter::ReportRuns(runs);
  }

  double meanSeconds(const std::string& name) const {
    auto it = totals_.find(name);
    return it == totals_.end() || it->second.iterations == 0
               ? 0.0
               : it->second.seconds / static_cast<double>(it->second.iterations);
  }

 private:
  struct Totals {
    double seconds = 0.0;
    int64_t iterations = 0;
  };
  std::map<std::string, Totals> totals_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double direct = reporter.meanSeconds("BM_DirectFfmpeg");
  const double task = reporter.meanSeconds("BM_TaskThroughExports");
  if (direct > 0.0 && task > 0.0) {
    std::printf("\nOne conversion (4 s 320x240 clip to 160x120 mp4):\n");
    std::printf("  direct ffmpeg   %8.1f ms\n", direct * 1000.0);
    std::printf("  task (exports)  %8.1f ms\n", task * 1000.0);
    std::printf("  task/direct wall-time ratio: %.2f\n", task / direct);
  }
  benchmark::Shutdown();
  return 0;
}
