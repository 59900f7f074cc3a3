#include "platform/core/mm_timer.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/core/faults.h"
#include "platform/core/thread.h"

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

struct Timer {
  std::mutex mutex;
  std::condition_variable wake;
  bool killed = false;
  ThreadId threadId = 0;
  Event finished{true, false};
};

struct Registry {
  std::mutex mutex;
  std::map<uint32_t, std::shared_ptr<Timer>> timers;
  uint32_t nextId = 1;
};

Registry& registry() {
  static Registry* instance = new Registry;  // outlives every timer thread
  return *instance;
}

void forget(uint32_t id) {
  Registry& reg = registry();
  std::lock_guard<std::mutex> lock(reg.mutex);
  reg.timers.erase(id);
}

void tickLoop(Timer& timer, uint32_t id, uint32_t periodMs, TimerCallback callback, void* user, TimerKind kind);

// The thread is detached at birth (a one-shot timer ends on its own); whoever
// must know that it ended waits for `finished`.
void runTimer(std::shared_ptr<Timer> timer, uint32_t id, uint32_t periodMs, TimerCallback callback, void* user,
              TimerKind kind) {
  tickLoop(*timer, id, periodMs, callback, user, kind);
  timer->finished.Set();
}

void tickLoop(Timer& timer, uint32_t id, uint32_t periodMs, TimerCallback callback, void* user, TimerKind kind) {
  {
    std::lock_guard<std::mutex> lock(timer.mutex);
    timer.threadId = CurrentThreadId();
  }
  const auto period = std::chrono::milliseconds(periodMs);
  auto due = Clock::now() + period;
  while (true) {
    {
      std::unique_lock<std::mutex> lock(timer.mutex);
      if (timer.wake.wait_until(lock, due, [&] { return timer.killed; })) return;
    }
    // The kill check and the tick are not one atomic step, but a kill waits
    // for this thread to end, so no tick runs after the kill has returned.
    callback(id, user);
    if (kind == TimerKind::OneShot) {
      forget(id);
      return;
    }
    // Keep the schedule; a tick that ran late does not make the next ones
    // bunch up, it moves the schedule on.
    due += period;
    const auto now = Clock::now();
    if (due < now) due = now;
  }
}

}  // namespace

uint32_t TimeSetEvent(uint32_t periodMs, uint32_t /*resolutionMs*/, TimerCallback callback, void* user,
                      TimerKind kind) {
  if (injectedFault(kTimeSetEventCall)) return 0;
  if (periodMs == 0 || periodMs > kMaxTimerPeriodMs || callback == nullptr) return 0;
  auto timer = std::make_shared<Timer>();
  Registry& reg = registry();
  std::lock_guard<std::mutex> lock(reg.mutex);
  uint32_t id = reg.nextId++;
  if (id == 0) id = reg.nextId++;
  try {
    std::thread(runTimer, timer, id, periodMs, callback, user, kind).detach();
  } catch (const std::system_error&) {
    return 0;
  }
  reg.timers[id] = timer;
  return id;
}

bool TimeKillEvent(uint32_t timerId) {
  std::shared_ptr<Timer> timer;
  {
    Registry& reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    auto it = reg.timers.find(timerId);
    if (it == reg.timers.end()) return false;
    timer = it->second;
    reg.timers.erase(it);
  }
  ThreadId tickThread;
  {
    std::lock_guard<std::mutex> lock(timer->mutex);
    timer->killed = true;
    tickThread = timer->threadId;
  }
  timer->wake.notify_all();
  // Killed from inside its own tick, the thread cannot wait for itself; it
  // ends as soon as the tick returns.
  if (tickThread != CurrentThreadId()) timer->finished.Wait();
  return true;
}

int LiveTimerCount() {
  Registry& reg = registry();
  std::lock_guard<std::mutex> lock(reg.mutex);
  return static_cast<int>(reg.timers.size());
}

}  // namespace platform
