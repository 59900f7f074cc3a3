// Clocks of the platform layer: the multimedia tick (`timeGetTime`, 32-bit
// milliseconds that wrap after about 49.7 days), the 64-bit tick count, and the
// performance counter at 10 MHz.
//
// Real backing: CLOCK_MONOTONIC. Fake backing (tests): a process-wide fake time
// in nanoseconds that only moves when a test sets or advances it, or by a fixed
// step on every reading so that code waiting on the clock ends without real
// waiting. While the fake clock is on, every reading here comes from it; the
// 32-bit tick is the fake milliseconds truncated to 32 bits, so a test can place
// the tick right before its wrap.
//
// Thread safety: every function may be called from any thread. Listeners run on
// the thread that advanced the fake clock, outside any lock of this layer.
#pragma once

#include <cstdint>
#include <functional>

namespace platform {

// Multimedia tick in milliseconds, truncated to 32 bits.
uint32_t timeGetTime();
// Milliseconds since an arbitrary fixed point, 64 bits.
uint64_t GetTickCount64();
// Performance counter in units of 100 ns; QueryPerformanceFrequency gives 10'000'000.
int64_t QueryPerformanceCounter();
int64_t QueryPerformanceFrequency();
// The clock all of the above derive from, in nanoseconds.
int64_t monotonicNanos();

namespace fakeclock {

// Turns the fake clock on at `startNanos` (readings no longer follow real time).
void enable(int64_t startNanos = 0);
// Back to the real clock; the step and listeners are dropped.
void disable();
bool enabled();
// Sets the fake time (may go backwards, as a test of wrapping needs).
void setNanos(int64_t nanos);
void setMillis(uint64_t millis);
// Moves the fake time forward and tells the listeners.
void advance(int64_t nanos);
// Every reading advances the fake time by `nanos` after reading it (0: off).
void setStepPerRead(int64_t nanos);

// Called with the new fake time after every setNanos/setMillis/advance, so that
// layers with timers can fire what became due. Returns an id for removeListener.
int addListener(std::function<void(int64_t nowNanos)> listener);
void removeListener(int id);

}  // namespace fakeclock

// Turns the fake clock on for its lifetime (tests).
class ScopedFakeClock {
 public:
  explicit ScopedFakeClock(int64_t startNanos = 0) { fakeclock::enable(startNanos); }
  ~ScopedFakeClock() { fakeclock::disable(); }
  ScopedFakeClock(const ScopedFakeClock&) = delete;
  ScopedFakeClock& operator=(const ScopedFakeClock&) = delete;
};

}  // namespace platform
