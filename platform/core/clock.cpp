#include "platform/core/clock.h"

#include <time.h>

#include <atomic>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

namespace platform {
namespace {

std::atomic<bool> fakeOn{false};
std::atomic<int64_t> fakeNow{0};
std::atomic<int64_t> fakeStep{0};

struct Listeners {
  std::mutex mutex;
  int nextId = 1;
  std::map<int, std::function<void(int64_t)>> byId;
};

Listeners& listeners() {
  static Listeners instance;
  return instance;
}

void notify(int64_t now) {
  // Copied out so that a listener may add or remove listeners.
  std::vector<std::function<void(int64_t)>> calls;
  {
    std::lock_guard lock(listeners().mutex);
    for (auto& [id, fn] : listeners().byId) calls.push_back(fn);
  }
  for (auto& fn : calls) fn(now);
}

}  // namespace

int64_t monotonicNanos() {
  if (fakeOn.load(std::memory_order_acquire)) {
    int64_t step = fakeStep.load(std::memory_order_relaxed);
    return step == 0 ? fakeNow.load() : fakeNow.fetch_add(step);
  }
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

uint32_t timeGetTime() { return static_cast<uint32_t>(static_cast<uint64_t>(monotonicNanos()) / 1'000'000); }

uint64_t GetTickCount64() { return static_cast<uint64_t>(monotonicNanos()) / 1'000'000; }

int64_t QueryPerformanceCounter() { return monotonicNanos() / 100; }

int64_t QueryPerformanceFrequency() { return 10'000'000; }

namespace fakeclock {

void enable(int64_t startNanos) {
  fakeNow.store(startNanos);
  fakeStep.store(0);
  fakeOn.store(true, std::memory_order_release);
}

void disable() {
  fakeOn.store(false, std::memory_order_release);
  fakeStep.store(0);
  std::lock_guard lock(listeners().mutex);
  listeners().byId.clear();
}

bool enabled() { return fakeOn.load(std::memory_order_acquire); }

void setNanos(int64_t nanos) {
  fakeNow.store(nanos);
  notify(nanos);
}

void setMillis(uint64_t millis) { setNanos(static_cast<int64_t>(millis * 1'000'000)); }

void advance(int64_t nanos) { notify(fakeNow.fetch_add(nanos) + nanos); }

void setStepPerRead(int64_t nanos) { fakeStep.store(nanos); }

int addListener(std::function<void(int64_t)> listener) {
  std::lock_guard lock(listeners().mutex);
  int id = listeners().nextId++;
  listeners().byId.emplace(id, std::move(listener));
  return id;
}

void removeListener(int id) {
  std::lock_guard lock(listeners().mutex);
  listeners().byId.erase(id);
}

}  // namespace fakeclock
}  // namespace platform
