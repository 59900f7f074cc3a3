#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "platform/core/critical_section.h"
#include "platform/core/events.h"
#include "platform/core/interlocked.h"
#include "platform/core/thread.h"

namespace platform {
namespace {

TEST(CoreSyncEvent, AutoResetReleasesOneWaiterPerSignal) {
  Event event(false, false);
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      if (event.Wait(5000) == WaitResult::Signaled) ++released;
    });
  }
  // One signal, one waiter: the others stay waiting after it was consumed.
  for (int expected = 1; expected <= 3; ++expected) {
    event.Set();
    while (released.load() < expected) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(released.load(), expected);
    EXPECT_FALSE(event.IsSet());
  }
  for (auto& t : waiters) t.join();
  EXPECT_EQ(released.load(), 3);
}

TEST(CoreSyncEvent, ManualResetStaysSetUntilReset) {
  Event event(true, true);
  EXPECT_EQ(event.Wait(0), WaitResult::Signaled);
  EXPECT_EQ(event.Wait(0), WaitResult::Signaled);
  event.Reset();
  EXPECT_EQ(event.Wait(20), WaitResult::Timeout);
  Event autoEvent(false, true);
  EXPECT_EQ(autoEvent.Wait(0), WaitResult::Signaled);
  EXPECT_EQ(autoEvent.Wait(0), WaitResult::Timeout);
}

TEST(CoreSyncInterlocked, ResultsMatchTheCallsTheyStandFor) {
  std::atomic<int32_t> v{7};
  EXPECT_EQ(InterlockedIncrement(v), 8);
  EXPECT_EQ(InterlockedDecrement(v), 7);
  EXPECT_EQ(InterlockedExchange(v, 3), 7);
  EXPECT_EQ(InterlockedCompareExchange(v, 9, 4), 3);  // no match: unchanged
  EXPECT_EQ(v.load(), 3);
  EXPECT_EQ(InterlockedCompareExchange(v, 9, 3), 3);
  EXPECT_EQ(v.load(), 9);
}

TEST(CoreSyncCriticalSection, ReentersOnTheSameThread) {
  CriticalSection cs;
  std::lock_guard<CriticalSection> outer(cs);
  std::lock_guard<CriticalSection> inner(cs);  // would deadlock on a plain mutex
  bool otherGotIt = true;
  std::thread([&] { otherGotIt = cs.TryEnter(); }).join();
  EXPECT_FALSE(otherGotIt);
}

// A body that loops while its own handle is valid must see the handle its
// starter stored, even when the starter is slow to store it.
struct Worker {
  ThreadHandle handle;
  std::atomic<ThreadId> id{0};
  std::atomic<bool> stop{false};
  std::atomic<int> rounds{0};
  std::atomic<bool> sawOwnId{false};
};

TEST(CoreSyncThread, HandleAndIdArePublishedBeforeTheBodyRuns) {
  for (int attempt = 0; attempt < 50; ++attempt) {
    Worker w;
    ASSERT_TRUE(BeginThread(w.handle, &w.id, [&w] {
      w.sawOwnId = w.id.load() == CurrentThreadId() && w.id.load() != 0;
      while (!w.stop.load() && w.handle.Valid()) {
        ++w.rounds;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }));
    while (w.rounds.load() == 0 && w.handle.Wait(0) == WaitResult::Timeout) std::this_thread::yield();
    w.stop = true;
    ASSERT_EQ(w.handle.Wait(5000), WaitResult::Signaled);
    EXPECT_GT(w.rounds.load(), 0) << "the body saw no handle and ended at once";
    EXPECT_TRUE(w.sawOwnId.load());
  }
}

TEST(CoreSyncThread, WaitTimesOutWhileTheBodyRunsAndCloseLeavesItRunning) {
  // Shared with the detached body, which may still be inside Set when the test ends.
  auto release = std::make_shared<Event>(true, false);
  auto done = std::make_shared<Event>(true, false);
  ThreadHandle handle;
  ASSERT_TRUE(BeginThread(handle, nullptr, [release, done] {
    release->Wait();
    done->Set();
  }));
  EXPECT_EQ(handle.Wait(30), WaitResult::Timeout);
  handle.Close();  // detached, still running
  EXPECT_FALSE(handle.Valid());
  EXPECT_EQ(handle.Wait(0), WaitResult::Failed);
  release->Set();
  EXPECT_EQ(done->Wait(5000), WaitResult::Signaled);
}

}  // namespace
}  // namespace platform
