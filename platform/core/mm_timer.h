// Multimedia timers: a callback run every `period` milliseconds (or once) on a
// timer thread of its own. After TimeKillEvent returns no tick starts any more,
// and a tick that was running has ended (unless the kill comes from inside that
// tick, which cannot wait for itself).
//
// Thread safety: all functions may be called from any thread.
#pragma once

#include <cstdint>

namespace platform {

using TimerCallback = void (*)(uint32_t timerId, void* user);

enum class TimerKind { OneShot, Periodic };

// Largest period the timer service accepts, in milliseconds.
inline constexpr uint32_t kMaxTimerPeriodMs = 1000000;

// Fault-injection name of TimeSetEvent (tests make timer creation fail).
inline constexpr const char* kTimeSetEventCall = "core.timeSetEvent";

// Starts a timer; returns its id (never 0), or 0 when the period is outside
// 1..kMaxTimerPeriodMs, the callback is null or no timer thread can be made.
// The resolution is accepted for the caller's sake; ticks are always as
// precise as the system clock allows.
uint32_t TimeSetEvent(uint32_t periodMs, uint32_t resolutionMs, TimerCallback callback, void* user, TimerKind kind);

// Stops a timer; false for an unknown id.
bool TimeKillEvent(uint32_t timerId);

// Number of timers alive (started and not yet killed, one-shots not yet run).
int LiveTimerCount();

}  // namespace platform
