// The task store's records on their own: look-ups among many tasks, the start
// order a connection's unreported tasks keep, and detaching.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <vector>

#include "QelDaemon/task_store.h"
#include "QelApi/QelDaemon/fake_channel.h"

namespace qel {
namespace {

using test::FakeChannel;

std::vector<uint64_t> Unreported(TaskStore& store, const Channel* channel) {
  std::vector<uint64_t> ids;
  store.visitUnreported(channel, [&](TaskRecord& record) { ids.push_back(record.taskId); });
  return ids;
}

// Many tasks over a few connections, their ids scattered: each is found by its
// own id, only by the connection that started it, with its own reports.
TEST(TaskStoreTest, FindsEachOfManyTasksByIdAndConnection) {
  TaskStore store;
  std::vector<std::shared_ptr<FakeChannel>> channels;
  for (int i = 0; i < 4; ++i) channels.push_back(std::make_shared<FakeChannel>());
  constexpr uint64_t kTasks = 5000;
  auto idOf = [](uint64_t n) { return (n * 2654435761u) % 1000003 + 1; };  // distinct for n < 1000003
  for (uint64_t n = 0; n < kTasks; ++n) {
    ASSERT_TRUE(store.append(idOf(n), static_cast<int64_t>(n), channels[n % 4]));
    store.setProgress(idOf(n), ("{\"n\":" + std::to_string(n) + "}").c_str());
  }
  EXPECT_EQ(store.size(), kTasks);
  for (uint64_t n = 0; n < kTasks; n += 7) {
    const uint64_t id = idOf(n);
    EXPECT_FALSE(store.append(id, 0, channels[0])) << "id " << id << " taken twice";
    for (size_t c = 0; c < channels.size(); ++c) {
      EXPECT_EQ(store.isOwnedBy(id, channels[c].get()), c == n % 4) << id;
    }
    std::string status = store.visitOwned(id, channels[n % 4].get(), [](const TaskRecord* record) {
      return record != nullptr ? record->lastProgress : std::string("<none>");
    });
    EXPECT_EQ(status, "{\"n\":" + std::to_string(n) + "}");
    std::optional<TaskRecord> record = store.find(id);
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->sid, static_cast<int64_t>(n));
  }
  EXPECT_FALSE(store.find(0).has_value());
  EXPECT_FALSE(store.isOwnedBy(1000004, channels[0].get()));
  EXPECT_EQ(store.size(), kTasks);
}

TEST(TaskStoreTest, UnreportedTasksKeepTheirStartOrderUntilReported) {
  TaskStore store;
  auto channel = std::make_shared<FakeChannel>();
  auto other = std::make_shared<FakeChannel>();
  for (uint64_t id : {30u, 10u, 20u}) ASSERT_TRUE(store.append(id, 1, channel));
  ASSERT_TRUE(store.append(15, 1, other));
  EXPECT_EQ(Unreported(store, channel.get()), (std::vector<uint64_t>{30, 10, 20}));

  store.visitUnreported(channel.get(), [](TaskRecord& record) {
    if (record.taskId == 10) record.reported = 1;
  });
  EXPECT_EQ(Unreported(store, channel.get()), (std::vector<uint64_t>{30, 20}));
  EXPECT_EQ(Unreported(store, other.get()), (std::vector<uint64_t>{15}));
  // A reported task is still found for "gettaskstate".
  EXPECT_TRUE(store.isOwnedBy(10, channel.get()));
}

TEST(TaskStoreTest, DetachedTasksKeepTheirIdAndReports) {
  TaskStore store;
  auto channel = std::make_shared<FakeChannel>();
  auto next = std::make_shared<FakeChannel>();
  ASSERT_TRUE(store.append(1, 1, channel));
  ASSERT_TRUE(store.append(2, 1, channel));
  store.detach(channel.get());
  EXPECT_TRUE(Unreported(store, channel.get()).empty());
  EXPECT_FALSE(store.isOwnedBy(1, channel.get()));
  EXPECT_FALSE(store.append(2, 1, next)) << "a detached task's id stays taken";
  store.markDone(2);
  store.addError(2, "{\"e\":1}");
  std::optional<TaskRecord> record = store.find(2);
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(record->done, 1);
  EXPECT_EQ(record->errors.size(), 1u);
  EXPECT_EQ(record->channel, nullptr);
  // Another connection's tasks are untouched.
  ASSERT_TRUE(store.append(3, 1, next));
  store.detach(channel.get());
  EXPECT_TRUE(store.isOwnedBy(3, next.get()));
}

TEST(TaskStoreTest, StartRunsOnlyForAFreeIdAndRecordsOnlySuccess) {
  TaskStore store;
  auto channel = std::make_shared<FakeChannel>();
  int calls = 0;
  EXPECT_EQ(store.startTask(1, 1, channel,
                            [&] {
                              ++calls;
                              return 6510;
                            }),
            std::optional<int>(6510));
  EXPECT_FALSE(store.find(1).has_value()) << "a refused start leaves no record";
  EXPECT_EQ(store.startTask(1, 1, channel,
                            [&] {
                              ++calls;
                              return 0;
                            }),
            std::optional<int>(0));
  EXPECT_EQ(store.startTask(1, 2, channel,
                            [&] {
                              ++calls;
                              return 0;
                            }),
            std::nullopt);
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(store.find(1)->sid, 1);
}

}  // namespace
}  // namespace qel
