// An idle engine costs nothing: its worker sleeps on its notification until a
// task is started, aborted or the engine stops, with no periodic look at the
// task list.
#include <dirent.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "QelApi/engine/engine_test_util.h"
#include "qelapi.h"
#include "support/task_events.h"

namespace qel::test {
namespace {

// Voluntary context switches of every thread of this process but the caller.
std::map<std::string, long> wakeUpsOfOtherThreads() {
  std::map<std::string, long> counts;
  const std::string self = std::to_string(::syscall(SYS_gettid));
  DIR* tasks = ::opendir("/proc/self/task");
  if (tasks == nullptr) return counts;
  while (dirent* entry = ::readdir(tasks)) {
    const std::string tid = entry->d_name;
    if (tid == "." || tid == ".." || tid == self) continue;
    std::ifstream status("/proc/self/task/" + tid + "/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0) counts[tid] = std::stol(line.substr(24));
    }
  }
  ::closedir(tasks);
  return counts;
}

TEST(IdleWorker, SleepsUntilItIsToldOfWork) {
  void* handle = initEngineWithLog("notice");
  ASSERT_NE(handle, nullptr);
  taskEvents().attach(handle);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // let the worker settle
  const std::map<std::string, long> before = wakeUpsOfOtherThreads();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const std::map<std::string, long> after = wakeUpsOfOtherThreads();
  for (const auto& [tid, count] : after) {
    auto it = before.find(tid);
    if (it == before.end()) continue;
    EXPECT_LE(count - it->second, 1) << "thread " << tid << " woke up while the engine was idle";
  }

  // And it still answers at once when told: a task runs to completion.
  TempDir dir;
  const std::string in = dir.file("in.mp4");
  makeClip(in, clipOf(0.5));
  const uint64_t id = nextTaskId();
  ASSERT_EQ(
      submitTask(handle, id,
                 taskRequest({taskOperation({ioItem(1, in)}, "-vf scale=80:60", {ioItem(1, dir.file("o.mp4"))})})),
      0);
  EXPECT_TRUE(taskEvents().waitForCompletion(id));
  qelapi_un_init(handle);
}

}  // namespace
}  // namespace qel::test
