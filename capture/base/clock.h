// The capture code's monotonic clock, built on the 32-bit multimedia tick. The
// tick wraps after about 49.7 days; the clock counts the wraps so its readings
// keep growing. Resolution is that of the tick (milliseconds).
//
// Thread safety: readable from any thread.
#pragma once

#include <cstdint>

namespace capture {

// A replacement time source; when one is installed, ClockNanos asks it.
class ClockSource {
 public:
  virtual ~ClockSource() = default;
  virtual int64_t Nanos() = 0;
};

// Installs `source` (not owned; null goes back to the multimedia clock).
void SetClockSource(ClockSource* source);

// Multimedia tick plus counted wraps, in nanoseconds.
int64_t MultimediaClockNanos();
// The installed ClockSource's reading, else MultimediaClockNanos.
int64_t ClockNanos();
// ClockNanos / 1'000'000, truncating.
int64_t ClockMillis();

}  // namespace capture
