#include "capture/base/clock.h"

#include <atomic>

#include "platform/core/clock.h"

namespace capture {
namespace {

std::atomic<uint32_t> lastTick{0};
std::atomic<uint64_t> wraps{0};
std::atomic<ClockSource*> clockSource{nullptr};

}  // namespace

void SetClockSource(ClockSource* source) { clockSource.store(source); }

int64_t MultimediaClockNanos() {
  uint32_t now = platform::timeGetTime();
  uint32_t last = lastTick.exchange(now);
  // Only a jump from near the top to near the bottom is a wrap; a small step
  // back (two threads reading out of order) is not.
  if (now < last && last > 0xF0000000u && now < 0x0FFFFFFFu) wraps.fetch_add(1);
  uint64_t millis = ((wraps.load() & 0xFFFFFFFFu) << 32) + now;
  return static_cast<int64_t>(millis * 1'000'000);
}

int64_t ClockNanos() {
  ClockSource* source = clockSource.load();
  return source != nullptr ? source->Nanos() : MultimediaClockNanos();
}

int64_t ClockMillis() { return ClockNanos() / 1'000'000; }

}  // namespace capture
