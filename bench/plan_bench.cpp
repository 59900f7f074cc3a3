// The command plan of long chained tasks: one source file, N - 1 operations
// each reading the intermediate the one before wrote, and a last operation
// writing the output file, listed in task order (the producer of every
// intermediate before its consumer, the order a client sends). Every pair of
// neighbours may merge, so the whole chain plans into one command whose graph
// grows with every merge: the time per task shows whether ordering and merging
// stay close to linear in the number of operations.
//
// Also the same chain with a filter that never merges: ordering and one
// command per operation.
//
// Planning only: no ffmpeg runs; the intermediate names lie in a temporary
// folder that stays empty.
//
// Run: <build>/bin/plan_bench [--benchmark_filter=...]
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include "commands/command_plan.h"
#include "commands/task_operation.h"

namespace {

namespace fs = std::filesystem;

const fs::path& benchFolder() {
  static const fs::path folder = [] {
    fs::path dir = fs::temp_directory_path() / fmt::format("qel-plan-bench-{}", ::getpid());
    fs::create_directories(dir);
    return dir;
  }();
  return folder;
}

qel::TaskIoItem item(int type, std::string value) { return {type, std::move(value), ""}; }

qel::TaskOperation operation(qel::TaskIoItem input, std::string transform, qel::TaskIoItem output) {
  qel::TaskOperation op;
  op.m_inputs.push_back(std::move(input));
  op.m_transform = std::move(transform);
  op.m_outputs.push_back(std::move(output));
  qel::prepareFilterOptions(op);
  return op;
}

// Alternating filters whose kinds always merge (scale, crop and pad after one
// another).
std::string filterOf(int index) {
  switch (index % 3) {
    case 0: return fmt::format("-vf scale={}:{}", 640 - index % 7, 360);
    case 1: return "-vf crop=320:180:0:0";
    default: return "-vf pad=640:360:0:0";
  }
}

std::vector<qel::TaskOperation> mergingChain(int count) {
  const fs::path& dir = benchFolder();
  std::vector<qel::TaskOperation> operations;
  std::string previous = (dir / "in.mp4").string();
  int previousType = 1;
  for (int i = 0; i < count; ++i) {
    const bool last = i + 1 == count;
    std::string next = last ? (dir / "out.mp4").string() : (dir / fmt::format("work/t{}.mkv", i)).string();
    operations.push_back(operation(item(previousType, previous), filterOf(i), item(last ? 1 : 2, next)));
    previous = std::move(next);
    previousType = 2;
  }
  return operations;
}

void BM_PlanMergingChain(benchmark::State& state) {
  const std::vector<qel::TaskOperation> operations = mergingChain(static_cast<int>(state.range(0)));
  std::size_t commands = 0;
  for (auto _ : state) {
    qel::CommandBuilder builder;
    commands = builder.buildCommands(operations).size();
    benchmark::DoNotOptimize(commands);
  }
  if (commands != 1) state.SkipWithError("the chain did not plan into one command");
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_PlanMergingChain)->Unit(benchmark::kMillisecond)->Arg(200)->Arg(1000)->Complexity();

// The same chain with a filter that never merges (hflip has no merge kind):
// ordering, a refused merge per pair and one command per operation.
std::vector<qel::TaskOperation> refusingChain(int count) {
  std::vector<qel::TaskOperation> operations = mergingChain(count);
  for (qel::TaskOperation& op : operations) {
    op.m_transform = "-vf hflip";
    qel::prepareFilterOptions(op);
  }
  return operations;
}

void BM_PlanRefusingChain(benchmark::State& state) {
  const std::vector<qel::TaskOperation> operations = refusingChain(static_cast<int>(state.range(0)));
  std::size_t commands = 0;
  for (auto _ : state) {
    qel::CommandBuilder builder;
    commands = builder.buildCommands(operations).size();
    benchmark::DoNotOptimize(commands);
  }
  if (commands != static_cast<std::size_t>(state.range(0))) state.SkipWithError("expected one command each");
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_PlanRefusingChain)->Unit(benchmark::kMillisecond)->Arg(200)->Arg(1000)->Complexity();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ec;
  fs::remove_all(benchFolder(), ec);
  return 0;
}
