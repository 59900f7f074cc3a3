// Local wall-clock time broken into its fields, as output file names use it.
// Tests pin it to a fixed moment.
//
// Thread safety: all functions may be called from any thread.
#pragma once

#include <cstdint>
#include <optional>

namespace platform {

struct SystemTime {
  uint16_t year;
  uint16_t month;      // 1..12
  uint16_t dayOfWeek;  // 0 = Sunday
  uint16_t day;        // 1..31
  uint16_t hour;
  uint16_t minute;
  uint16_t second;
  uint16_t milliseconds;
};

// The local time now, or the pinned moment while one is set.
SystemTime GetLocalTime();

// Pins GetLocalTime to `moment`; nullopt returns to the real clock.
void SetLocalTimeOverride(const std::optional<SystemTime>& moment);

}  // namespace platform
