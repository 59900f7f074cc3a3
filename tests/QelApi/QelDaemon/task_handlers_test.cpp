// The task handlers without an engine: records appended as a successful
// "starttask" appends them, the engine's callbacks called directly, and the
// replies and notices the handlers send on recording channels.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <optional>

#include "QelDaemon/daemon_state.h"
#include "QelDaemon/engine_callbacks.h"
#include "QelDaemon/request_dispatcher.h"
#include "QelDaemon/task_handlers.h"
#include "QelApi/QelDaemon/fake_channel.h"

namespace qel {
namespace {

using test::FakeChannel;

// Distinct ids, so that no test depends on what another left behind.
uint64_t FreshId() {
  static std::atomic<uint64_t> next{900000};
  return next.fetch_add(10);
}

InputParam Param(const std::shared_ptr<FakeChannel>& channel, int64_t sid, uint64_t taskId) {
  InputParam param;
  param.sid = sid;
  param.taskId = taskId;
  param.channel = channel;
  return param;
}

std::string KnownTemplate(int64_t sid, uint64_t id) {
  return "{\"sid\":" + std::to_string(sid) + ",\"taskId\":" + std::to_string(id) +
         ",\"error\":false,\"errorCode\":0,\"errorDetail\":\"\",\"totalPhase\":0,\"currentPhase\":0,"
         "\"phaseDetail\":{\"id\":\"\",\"progress\":0,\"speed\":\"0x\",\"size\":\"0kB\",\"usedTime\":\"\","
         "\"estimateTime\":\"\",\"description\":\"\"},\"ids\":[]}";
}

std::string UnknownTemplate(int64_t sid, uint64_t id) {
  return "{\"sid\":" + std::to_string(sid) + ",\"taskId\":" + std::to_string(id) +
         ",\"error\":true,\"errorCode\":6510,\"errorDetail\":\"invalid parameters\",\"totalPhase\":0,"
         "\"currentPhase\":0,\"phaseDetail\":{\"id\":\"\",\"progress\":100,\"speed\":\"0x\",\"size\":\"0kB\","
         "\"usedTime\":\"\",\"estimateTime\":\"\",\"description\":\"\"},\"ids\":[]}";
}

// A daemon state without an engine, its store receiving the engine's callbacks.
class TaskHandlersTest : public ::testing::Test {
 protected:
  void SetUp() override { RouteTaskCallbacks(&state_.tasks); }
  void TearDown() override { ReleaseTaskCallbacks(&state_.tasks); }

  DaemonState state_;
};

TEST_F(TaskHandlersTest, TaskStateFollowsTheProgressReports) {
  auto channel = std::make_shared<FakeChannel>();
  uint64_t id = FreshId();
  ASSERT_TRUE(state_.tasks.append(id, 4, channel));

  HandleGetTaskState(state_, Param(channel, 8, id));
  EXPECT_EQ(channel->take(), std::vector<std::string>{KnownTemplate(8, id)});

  OnTaskProgress(nullptr, id, R"({"error":false,"errorCode":0,"phaseDetail":{"progress":40}})");
  OnTaskProgress(nullptr, id, R"({"error":false,"errorCode":0,"phaseDetail":{"progress":55}})");
  OnTaskProgress(nullptr, id, nullptr);  // ignored
  HandleGetTaskState(state_, Param(channel, 9, id));
  EXPECT_EQ(channel->take(),
            std::vector<std::string>{"{\"error\":false,\"errorCode\":0,\"phaseDetail\":{\"progress\":55},\"sid\":9,"
                                     "\"taskId\":" +
                                     std::to_string(id) + "}"});

  // A status text that is not an object reads as no report yet.
  OnTaskProgress(nullptr, id, "[1,2,3]");
  HandleGetTaskState(state_, Param(channel, 10, id));
  EXPECT_EQ(channel->take(), std::vector<std::string>{KnownTemplate(10, id)});
}

TEST_F(TaskHandlersTest, OtherConnectionsSeeTheTaskAsUnknown) {
  auto owner = std::make_shared<FakeChannel>();
  auto other = std::make_shared<FakeChannel>();
  uint64_t id = FreshId();
  ASSERT_TRUE(state_.tasks.append(id, 1, owner));

  HandleGetTaskState(state_, Param(other, 2, id));
  EXPECT_EQ(other->take(), std::vector<std::string>{UnknownTemplate(2, id)});
  HandleAbortTask(state_, Param(other, 3, id));
  EXPECT_EQ(other->take(),
            std::vector<std::string>{
                "{\"sid\":3,\"error\":true,\"errorCode\":6512,\"errorDetail\":\"task id do not exist\"}"});
}

TEST_F(TaskHandlersTest, RepeatedIdIsRefusedBeforeTheEngineIsAsked) {
  auto channel = std::make_shared<FakeChannel>();
  auto other = std::make_shared<FakeChannel>();
  uint64_t id = FreshId();
  ASSERT_TRUE(state_.tasks.append(id, 1, channel));
  EXPECT_FALSE(state_.tasks.append(id, 1, other));
  InputParam param = Param(other, 6, id);
  param.data = R"({"operations":[]})";
  HandleStartTask(state_, param);
  EXPECT_EQ(other->take(), std::vector<std::string>{
                               "{\"sid\":6,\"error\":true,\"errorCode\":6511,\"errorDetail\":\"repeated task id\"}"});
}

TEST_F(TaskHandlersTest, CompletionIsPushedOnceWithTheStartTaskSid) {
  auto channel = std::make_shared<FakeChannel>();
  uint64_t first = FreshId();
  uint64_t second = first + 1;
  ASSERT_TRUE(state_.tasks.append(first, 21, channel));
  ASSERT_TRUE(state_.tasks.append(second, 22, channel));

  PushTaskEvents(state_, channel);
  EXPECT_TRUE(channel->take().empty());

  // Both finish before the tick: both notices go in starttask order.
  OnTaskComplete(nullptr, second, "");
  OnTaskComplete(nullptr, first, "");
  PushTaskEvents(state_, channel);
  EXPECT_EQ(channel->take(), (std::vector<std::string>{"{\"sid\":21,\"taskId\":" + std::to_string(first) + "}",
                                                       "{\"sid\":22,\"taskId\":" + std::to_string(second) + "}"}));
  PushTaskEvents(state_, channel);
  EXPECT_TRUE(channel->take().empty());

  std::optional<TaskRecord> record = state_.tasks.find(first);
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(record->done, 1);
  EXPECT_EQ(record->reported, 1);
}

TEST_F(TaskHandlersTest, ErrorNoticesCarrySidZeroAndDropNonJson) {
  auto channel = std::make_shared<FakeChannel>();
  uint64_t id = FreshId();
  ASSERT_TRUE(state_.tasks.append(id, 5, channel));
  OnTaskError(nullptr, id, R"({"error":true,"errorCode":6517})");
  OnTaskError(nullptr, id, "");            // becomes "unkown error": not JSON, dropped
  OnTaskError(nullptr, id, "plain text");  // dropped
  OnTaskError(nullptr, id, nullptr);       // ignored
  OnTaskError(nullptr, id, R"({"operation":1})");
  PushTaskEvents(state_, channel);
  std::string idText = std::to_string(id);
  EXPECT_EQ(channel->take(),
            (std::vector<std::string>{"{\"error\":true,\"errorCode\":6517,\"sid\":0,\"taskId\":" + idText + "}",
                                      "{\"operation\":1,\"sid\":0,\"taskId\":" + idText + "}"}));
  PushTaskEvents(state_, channel);
  EXPECT_TRUE(channel->take().empty());
}

TEST_F(TaskHandlersTest, ClosedConnectionDetachesItsTasks) {
  auto channel = std::make_shared<FakeChannel>();
  uint64_t id = FreshId();
  ASSERT_TRUE(state_.tasks.append(id, 5, channel));
  state_.tasks.detach(channel.get());
  OnTaskProgress(nullptr, id, R"({"errorCode":0})");
  OnTaskComplete(nullptr, id, "");
  PushTaskEvents(state_, channel);
  EXPECT_TRUE(channel->take().empty());
  HandleGetTaskState(state_, Param(channel, 1, id));
  EXPECT_EQ(channel->take(), std::vector<std::string>{UnknownTemplate(1, id)});

  // The callbacks still reach the detached record.
  std::optional<TaskRecord> record = state_.tasks.find(id);
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(record->done, 1);
  EXPECT_EQ(record->lastProgress, "{\"errorCode\":0}");
  EXPECT_EQ(record->channel, nullptr);
}

TEST_F(TaskHandlersTest, CallbacksForUnknownTasksAreIgnored) {
  uint64_t id = FreshId();
  OnTaskProgress(nullptr, id, "{}");
  OnTaskComplete(nullptr, id, "");
  OnTaskError(nullptr, id, "{}");
  EXPECT_FALSE(state_.tasks.find(id).has_value());
}

}  // namespace
}  // namespace qel
