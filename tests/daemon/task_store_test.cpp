// The task store without an engine: records appended as a successful
// "starttask" appends them, the engine's callbacks called directly, and the
// replies and notices the handlers send on recording channels.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "QelDaemon/request_dispatcher.h"
#include "QelDaemon/task_store.h"
#include "daemon/fake_channel.h"

namespace qel {
namespace {

using test::FakeChannel;

// The store is process-wide and keeps every record: each test takes fresh ids.
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

TEST(TaskStoreTest, TaskStateFollowsTheProgressReports) {
  auto channel = std::make_shared<FakeChannel>();
  uint64_t id = FreshId();
  ASSERT_TRUE(AppendTaskRecord(id, 4, channel));

  HandleGetTaskState(Param(channel, 8, id));
  EXPECT_EQ(channel->take(), std::vector<std::string>{KnownTemplate(8, id)});

  OnTaskProgress(nullptr, id, R"({"error":false,"errorCode":0,"phaseDetail":{"progress":40}})");
  OnTaskProgress(nullptr, id, R"({"error":false,"errorCode":0,"phaseDetail":{"progress":55}})");
  OnTaskProgress(nullptr, id, nullptr);  // ignored
  HandleGetTaskState(Param(channel, 9, id));
  EXPECT_EQ(channel->take(),
            std::vector<std::string>{"{\"error\":false,\"errorCode\":0,\"phaseDetail\":{\"progress\":55},\"sid\":9,"
                                     "\"taskId\":" + std::to_string(id) + "}"});

  // A status text that is not an object reads as no report yet.
  OnTaskProgress(nullptr, id, "[1,2,3]");
  HandleGetTaskState(Param(channel, 10, id));
  EXPECT_EQ(channel->take(), std::vector<std::string>{KnownTemplate(10, id)});
}

TEST(TaskStoreTest, OtherConnectionsSeeTheTaskAsUnknown) {
  auto owner = std::make_shared<FakeChannel>();
  auto other = std::make_shared<FakeChannel>();
  uint64_t id = FreshId();
  ASSERT_TRUE(AppendTaskRecord(id, 1, owner));

  HandleGetTaskState(Param(other, 2, id));
  EXPECT_EQ(other->take(), std::vector<std::string>{UnknownTemplate(2, id)});
  HandleAbortTask(Param(other, 3, id));
  EXPECT_EQ(other->take(), std::vector<std::string>{
                               "{\"sid\":3,\"error\":true,\"errorCode\":6512,\"errorDetail\":\"task id do not exist\"}"});
}

TEST(TaskStoreTest, RepeatedIdIsRefusedBeforeTheEngineIsAsked) {
  auto channel = std::make_shared<FakeChannel>();
  auto other = std::make_shared<FakeChannel>();
  uint64_t id = FreshId();
  ASSERT_TRUE(AppendTaskRecord(id, 1, channel));
  EXPECT_FALSE(AppendTaskRecord(id, 1, other));
  InputParam param = Param(other, 6, id);
  param.data = R"({"operations":[]})";
  HandleStartTask(param);
  EXPECT_EQ(other->take(), std::vector<std::string>{
                               "{\"sid\":6,\"error\":true,\"errorCode\":6511,\"errorDetail\":\"repeated task id\"}"});
}

TEST(TaskStoreTest, CompletionIsPushedOnceWithTheStartTaskSid) {
  auto channel = std::make_shared<FakeChannel>();
  uint64_t first = FreshId();
  uint64_t second = first + 1;
  ASSERT_TRUE(AppendTaskRecord(first, 21, channel));
  ASSERT_TRUE(AppendTaskRecord(second, 22, channel));

  PushTaskEvents(channel);
  EXPECT_TRUE(channel->take().empty());

  // Both finish before the tick: both notices go in starttask order.
  OnTaskComplete(nullptr, second, "");
  OnTaskComplete(nullptr, first, "");
  PushTaskEvents(channel);
  EXPECT_EQ(channel->take(), (std::vector<std::string>{
                                 "{\"sid\":21,\"taskId\":" + std::to_string(first) + "}",
                                 "{\"sid\":22,\"taskId\":" + std::to_string(second) + "}"}));
  PushTaskEvents(channel);
  EXPECT_TRUE(channel->take().empty());

  TaskRecord record;
  ASSERT_TRUE(FindTaskRecord(first, record));
  EXPECT_EQ(record.done, 1);
  EXPECT_EQ(record.reported, 1);
}

TEST(TaskStoreTest, ErrorNoticesCarrySidZeroAndDropNonJson) {
  auto channel = std::make_shared<FakeChannel>();
  uint64_t id = FreshId();
  ASSERT_TRUE(AppendTaskRecord(id, 5, channel));
  OnTaskError(nullptr, id, R"({"error":true,"errorCode":6517})");
  OnTaskError(nullptr, id, "");           // becomes "unkown error": not JSON, dropped
  OnTaskError(nullptr, id, "plain text"); // dropped
  OnTaskError(nullptr, id, nullptr);      // ignored
  OnTaskError(nullptr, id, R"({"operation":1})");
  PushTaskEvents(channel);
  std::string idText = std::to_string(id);
  EXPECT_EQ(channel->take(), (std::vector<std::string>{
                                 "{\"error\":true,\"errorCode\":6517,\"sid\":0,\"taskId\":" + idText + "}",
                                 "{\"operation\":1,\"sid\":0,\"taskId\":" + idText + "}"}));
  PushTaskEvents(channel);
  EXPECT_TRUE(channel->take().empty());
}

TEST(TaskStoreTest, ClosedConnectionDetachesItsTasks) {
  auto channel = std::make_shared<FakeChannel>();
  uint64_t id = FreshId();
  ASSERT_TRUE(AppendTaskRecord(id, 5, channel));
  DetachChannel(channel.get());
  OnTaskProgress(nullptr, id, R"({"errorCode":0})");
  OnTaskComplete(nullptr, id, "");
  PushTaskEvents(channel);
  EXPECT_TRUE(channel->take().empty());
  HandleGetTaskState(Param(channel, 1, id));
  EXPECT_EQ(channel->take(), std::vector<std::string>{UnknownTemplate(1, id)});

  // The callbacks still reach the detached record.
  TaskRecord record;
  ASSERT_TRUE(FindTaskRecord(id, record));
  EXPECT_EQ(record.done, 1);
  EXPECT_EQ(record.lastProgress, "{\"errorCode\":0}");
  EXPECT_EQ(record.channel, nullptr);
}

TEST(TaskStoreTest, CallbacksForUnknownTasksAreIgnored) {
  uint64_t id = FreshId();
  OnTaskProgress(nullptr, id, "{}");
  OnTaskComplete(nullptr, id, "");
  OnTaskError(nullptr, id, "{}");
  TaskRecord record;
  EXPECT_FALSE(FindTaskRecord(id, record));
}

}  // namespace
}  // namespace qel
