// The task list behind the task exports, and the worker thread's start and stop.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "qelapi.h"
#include "engine/engine_context.h"
#include "engine/engine_handles.h"
#include "QelApi/engine/engine_test_util.h"
#include "support/engine_context_access.h"

namespace qel::test {
namespace {

constexpr const char* kOneOperation =
    R"({"sid":1,"taskId":5,"operations":[{"input":[{"type":1,"value":"/media/in.mp4"}],)"
    R"("transform":"-vf scale=80:60","output":[{"type":1,"value":"/media/out.mp4"}]}]})";
constexpr const char* kTwoOperations =
    R"({"operations":[)"
    R"({"input":[{"type":1,"value":"/media/a.mp4"}],"transform":"-vf scale=80:60","output":[{"type":1,"value":"/media/b.mp4"}]},)"
    R"({"input":[{"type":1,"value":"/media/b.mp4"}],"transform":"-vf scale=40:30","output":[{"type":1,"value":"/media/c.mp4"}]}]})";

InitConfig testConfig() { return realToolsConfig("task-list-test"); }

// An engine whose worker only idles, so the list is changed by the calls under
// test alone, published as a handle and destroyed through qelapi_un_init like
// a real one.
class TaskListTest : public testing::Test {
 protected:
  void SetUp() override {
    auto engine = std::make_unique<EngineContext>(testConfig());
    ASSERT_TRUE(engine->startWorker([](EngineContext& e) {
      while (!e.stopRequested()) e.waitForWork(std::chrono::hours(1));
    }));
    engine_ = static_cast<EngineContext*>(publishEngine(std::move(engine)));
  }
  void TearDown() override { qelapi_un_init(engine_); }

  TaskState stateOf(uint64_t id) {
    auto lock = EngineContextTestAccess::lock(*engine_);
    TaskEntry* task = EngineContextTestAccess::findTaskLocked(*engine_, id);
    EXPECT_NE(task, nullptr);
    return task ? task->state : TaskState::Created;
  }
  size_t operationCount(uint64_t id) {
    auto lock = EngineContextTestAccess::lock(*engine_);
    TaskEntry* task = EngineContextTestAccess::findTaskLocked(*engine_, id);
    return task ? task->operations.size() : 0;
  }

  EngineContext* engine_ = nullptr;
};

TEST_F(TaskListTest, CreateCodes) {
  EXPECT_EQ(qelapi_create_task(nullptr, 1), 6510);
  EXPECT_EQ(qelapi_create_task(engine_, 0), 6510);
  EXPECT_EQ(qelapi_create_task(engine_, 1), 0);
  EXPECT_EQ(qelapi_create_task(engine_, 1), 6511);
  EXPECT_EQ(qelapi_create_task(engine_, UINT64_MAX), 0);
  // Erased by the worker: the id can be created again.
  engine_->eraseTask(1);
  EXPECT_EQ(qelapi_create_task(engine_, 1), 0);
  auto lock = EngineContextTestAccess::lock(*engine_);
  ASSERT_EQ(EngineContextTestAccess::tasks(*engine_).size(), 2u);
  EXPECT_EQ(EngineContextTestAccess::tasks(*engine_).front().id, UINT64_MAX) << "new tasks go to the end";
  EXPECT_EQ(EngineContextTestAccess::tasks(*engine_).back().state, TaskState::Created);
}

TEST_F(TaskListTest, ReplaceOperationsCodes) {
  EXPECT_EQ(qelapi_add_task_operation(nullptr, 5, kOneOperation), 6510);
  EXPECT_EQ(qelapi_add_task_operation(engine_, 5, kOneOperation), 6512);
  // Id 0 is never in the list: the task-lookup code, not an argument error.
  EXPECT_EQ(qelapi_add_task_operation(engine_, 0, kOneOperation), 6512);
  ASSERT_EQ(qelapi_create_task(engine_, 5), 0);
  EXPECT_EQ(qelapi_add_task_operation(engine_, 5, kTwoOperations), 0);
  EXPECT_EQ(operationCount(5), 2u);
  EXPECT_EQ(qelapi_add_task_operation(engine_, 5, kOneOperation), 0);
  EXPECT_EQ(operationCount(5), 1u) << "the second list replaces the first";
  // Lists that yield nothing replace too, and answer 6510.
  for (const char* empty : {R"({"operations":[]})", "not json", "[1]", R"({"operations":{}})"}) {
    ASSERT_EQ(qelapi_add_task_operation(engine_, 5, kOneOperation), 0);
    EXPECT_EQ(qelapi_add_task_operation(engine_, 5, empty), 6510) << empty;
    EXPECT_EQ(operationCount(5), 0u) << empty;
  }
  EXPECT_EQ(qelapi_add_task_operation(engine_, 5, nullptr), 6510);
  ASSERT_EQ(qelapi_add_task_operation(engine_, 5, kOneOperation), 0);
  EXPECT_EQ(qelapi_start_task(engine_, 5), 0);
  EXPECT_EQ(qelapi_add_task_operation(engine_, 5, kTwoOperations), 6513);
  EXPECT_EQ(qelapi_add_task_operation(engine_, 5, nullptr), 6513);
  EXPECT_EQ(operationCount(5), 1u) << "a started task keeps its operations";
}

TEST_F(TaskListTest, StartCodesAndOutputRecordSnapshot) {
  EXPECT_EQ(qelapi_start_task(nullptr, 7), 6510);
  EXPECT_EQ(qelapi_start_task(engine_, 7), 6512);
  ASSERT_EQ(qelapi_create_task(engine_, 7), 0);
  {
    auto lock = EngineContextTestAccess::lock(*engine_);
    EngineContextTestAccess::parser(*engine_).outputs["[in]scale=80:60[out0]"] =
        LavfiOutputRecord{1, "-c:v libx264", "cmd"};
  }
  EXPECT_EQ(qelapi_start_task(engine_, 7), 0);
  EXPECT_EQ(stateOf(7), TaskState::Started);
  {
    auto lock = EngineContextTestAccess::lock(*engine_);
    EngineContextTestAccess::parser(*engine_).outputs["later-graph"] = LavfiOutputRecord{};
  }
  EXPECT_EQ(qelapi_start_task(engine_, 7), 0) << "second start is a no-op";
  auto lock = EngineContextTestAccess::lock(*engine_);
  const TaskEntry* task = EngineContextTestAccess::findTaskLocked(*engine_, 7);
  ASSERT_NE(task, nullptr);
  ASSERT_EQ(task->outputRecords.size(), 1u) << "graphs processed after the start are not seen";
  EXPECT_EQ(task->outputRecords.begin()->second.outputConfig, "-c:v libx264");
}

TEST_F(TaskListTest, AbortCodesAndStates) {
  EXPECT_EQ(qelapi_remove_task(nullptr, 9), 6510);
  EXPECT_EQ(qelapi_remove_task(engine_, 9), 6512);
  ASSERT_EQ(qelapi_create_task(engine_, 9), 0);
  EXPECT_EQ(qelapi_remove_task(engine_, 9), 0);
  EXPECT_EQ(stateOf(9), TaskState::AbortRequested);
  EXPECT_EQ(static_cast<int>(stateOf(9)), 3);
  EXPECT_EQ(qelapi_remove_task(engine_, 9), 0) << "abort twice";
  EXPECT_EQ(qelapi_start_task(engine_, 9), 0);
  EXPECT_EQ(stateOf(9), TaskState::AbortRequested) << "start after abort changes nothing";
  {
    auto lock = EngineContextTestAccess::lock(*engine_);
    EXPECT_EQ(EngineContextTestAccess::nextRunnableTaskLocked(*engine_),
              EngineContextTestAccess::findTaskLocked(*engine_, 9));
  }
  engine_->eraseTask(9);
  EXPECT_EQ(qelapi_remove_task(engine_, 9), 6512) << "abort of an erased task";
  engine_->eraseTask(9);  // absent: nothing
}

TEST_F(TaskListTest, NextRunnableIsFirstStartedOrAbortedInListOrder) {
  for (uint64_t id : {11, 12, 13}) ASSERT_EQ(qelapi_create_task(engine_, id), 0);
  {
    auto lock = EngineContextTestAccess::lock(*engine_);
    EXPECT_EQ(EngineContextTestAccess::nextRunnableTaskLocked(*engine_), nullptr);
  }
  ASSERT_EQ(qelapi_start_task(engine_, 13), 0);
  ASSERT_EQ(qelapi_remove_task(engine_, 12), 0);
  auto lock = EngineContextTestAccess::lock(*engine_);
  TaskEntry* next = EngineContextTestAccess::nextRunnableTaskLocked(*engine_);
  ASSERT_NE(next, nullptr);
  EXPECT_EQ(next->id, 12u);
}

void noteProgress(void*, uint64_t, const char*) {}
void noteComplete(void*, uint64_t, const char*) {}

TEST_F(TaskListTest, CallbackSlots) {
  qelapi_set_progress_callback(engine_, noteProgress);
  qelapi_set_complete_callback(engine_, noteComplete);
  qelapi_set_error_callback(engine_, noteProgress);
  EXPECT_EQ(engine_->progressCallback(), &noteProgress);
  EXPECT_EQ(engine_->completeCallback(), &noteComplete);
  EXPECT_EQ(EngineContextTestAccess::errorCallback(*engine_), &noteProgress);
  qelapi_set_progress_callback(engine_, nullptr);
  EXPECT_EQ(engine_->progressCallback(), nullptr);
  qelapi_set_progress_callback(nullptr, noteProgress);  // nothing
}

TEST(TaskListLogTest, AbortLogsOneLinePerCall) {
  void* handle = initEngineWithLog("debug");
  ASSERT_NE(handle, nullptr);
  // The id is chosen per process so lines of earlier runs in the same log do not count.
  const uint64_t id = 1000000 + static_cast<uint64_t>(::getpid());
  ASSERT_EQ(qelapi_create_task(handle, id), 0);
  EXPECT_EQ(qelapi_remove_task(handle, id), 0);
  // The worker takes an aborted task off the list as soon as it wakes, which
  // on a busy machine may be before the second call: that call then finds no
  // task and logs nothing.
  const int second = qelapi_remove_task(handle, id);
  ASSERT_TRUE(second == 0 || second == QEL_ERR_TASK_NOT_EXIST) << second;
  EXPECT_EQ(countInLog(fmt::format("AbortTask({})", id)), second == 0 ? 2 : 1);
  qelapi_un_init(handle);
}

TEST(WorkerTest, StopWakesAWaitingWorkerAndJoins) {
  auto engine = std::make_unique<EngineContext>(testConfig());
  std::promise<void> started;
  ASSERT_TRUE(engine->startWorker([&](EngineContext& e) {
    started.set_value();
    // Without the wake-up this would wait an hour and the join would hang.
    while (!e.stopRequested()) e.waitForWork(std::chrono::hours(1));
  }));
  started.get_future().wait();
  EXPECT_TRUE(engine->startWorker()) << "a second start leaves the running worker";
  EXPECT_EQ(engine->stopWorker(), EngineContext::StopResult::Stopped);
  EXPECT_FALSE(EngineContextTestAccess::workerJoinable(*engine));
}

TEST(WorkerTest, UnInitFromTheWorkerThreadIsRefusedAndLogged) {
  void* logged = initEngineWithLog("debug");  // sets up the log file
  ASSERT_NE(logged, nullptr);
  qelapi_un_init(logged);
  const int before = countInLog("qelapi_un_init called on the engine's worker thread");

  auto* engine = static_cast<EngineContext*>(publishEngine(std::make_unique<EngineContext>(testConfig())));
  std::promise<bool> refused;
  ASSERT_TRUE(engine->startWorker([&](EngineContext& e) {
    qelapi_un_init(&e);  // as a callback would
    // Still alive and still our context: the call neither joined nor freed it.
    refused.set_value(!e.stopRequested() && e.isWorkerThread());
    while (!e.stopRequested()) e.waitForWork(std::chrono::hours(1));
  }));
  auto result = refused.get_future();
  EXPECT_TRUE(result.get());
  EXPECT_EQ(countInLog("qelapi_un_init called on the engine's worker thread"), before + 1);
  // The next call from another thread shuts the engine down.
  EXPECT_FALSE(engine->isWorkerThread());
  qelapi_un_init(engine);
}

TEST(WorkerTest, InitStartsTheWorkerAndUnInitJoinsIt) {
  std::string text = fmt::format(R"({{"tmp_path":"/tmp","qel_id":"q","ffmpeg_pathname":"{}","ffprobe_pathname":"{}"}})",
                                 ffmpegPath(), ffprobePath());
  void* handle = qelapi_init(text.c_str());
  ASSERT_NE(handle, nullptr);
  EXPECT_TRUE(EngineContextTestAccess::workerJoinable(*static_cast<EngineContext*>(handle)));
  qelapi_un_init(handle);
  qelapi_un_init(nullptr);
}

}  // namespace
}  // namespace qel::test
