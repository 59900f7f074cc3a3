#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/core/events.h"
#include "platform/core/mm_timer.h"

namespace platform {
namespace {

struct TickLog {
  std::atomic<int> ticks{0};
  std::atomic<bool> inTick{false};
  std::atomic<bool> killed{false};
  std::atomic<bool> tickAfterKill{false};
  int sleepMs = 0;
  Event firstTick{true, false};
};

void countTick(uint32_t, void* user) {
  auto* log = static_cast<TickLog*>(user);
  if (log->killed.load()) log->tickAfterKill = true;
  log->inTick = true;
  ++log->ticks;
  log->firstTick.Set();
  if (log->sleepMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(log->sleepMs));
  log->inTick = false;
}

TEST(CoreTimer, PeriodsOutsideTheRangeAndNullCallbacksAreRefused) {
  TickLog log;
  EXPECT_EQ(TimeSetEvent(0, 0, countTick, &log, TimerKind::Periodic), 0u);
  EXPECT_EQ(TimeSetEvent(kMaxTimerPeriodMs + 1, 0, countTick, &log, TimerKind::Periodic), 0u);
  // 1000 / 0 fps truncated to an unsigned value.
  EXPECT_EQ(TimeSetEvent(0xFFFFFFFFu, 0, countTick, &log, TimerKind::Periodic), 0u);
  EXPECT_EQ(TimeSetEvent(10, 0, nullptr, &log, TimerKind::Periodic), 0u);
  EXPECT_FALSE(TimeKillEvent(0));
}

TEST(CoreTimer, NoTickRunsOrStartsAfterKillReturns) {
  // Long ticks make it likely that the kill arrives while one runs.
  for (int round = 0; round < 5; ++round) {
    TickLog log;
    log.sleepMs = 15;
    const int before = LiveTimerCount();
    const uint32_t id = TimeSetEvent(2, 0, countTick, &log, TimerKind::Periodic);
    ASSERT_NE(id, 0u);
    ASSERT_EQ(log.firstTick.Wait(5000), WaitResult::Signaled);
    EXPECT_TRUE(TimeKillEvent(id));
    EXPECT_FALSE(log.inTick.load()) << "a tick was still running after the kill";
    log.killed = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    EXPECT_FALSE(log.tickAfterKill.load());
    EXPECT_FALSE(TimeKillEvent(id)) << "a second kill of the same id";
    EXPECT_EQ(LiveTimerCount(), before);
  }
}

struct SelfKill {
  uint32_t id = 0;
  std::atomic<int> ticks{0};
  Event killed{true, false};
};

void killInsideTick(uint32_t timerId, void* user) {
  auto* s = static_cast<SelfKill*>(user);
  if (++s->ticks == 1) {
    TimeKillEvent(timerId);  // must not wait for itself
    s->killed.Set();
  }
}

TEST(CoreTimer, KillFromInsideItsOwnTickReturns) {
  SelfKill s;
  s.id = TimeSetEvent(1, 0, killInsideTick, &s, TimerKind::Periodic);
  ASSERT_NE(s.id, 0u);
  ASSERT_EQ(s.killed.Wait(5000), WaitResult::Signaled);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(s.ticks.load(), 1);
}

TEST(CoreTimer, OneShotTicksOnceAndForgetsItself) {
  TickLog log;
  const int before = LiveTimerCount();
  const uint32_t id = TimeSetEvent(5, 0, countTick, &log, TimerKind::OneShot);
  ASSERT_NE(id, 0u);
  ASSERT_EQ(log.firstTick.Wait(5000), WaitResult::Signaled);
  std::this_thread::sleep_for(std::chrono::milliseconds(40));
  EXPECT_EQ(log.ticks.load(), 1);
  EXPECT_EQ(LiveTimerCount(), before);
  EXPECT_FALSE(TimeKillEvent(id));
}

}  // namespace
}  // namespace platform
