#include "platform/core/local_time.h"

#include <time.h>

#include <mutex>

namespace platform {

namespace {

std::mutex overrideMutex;
std::optional<SystemTime> pinned;

}  // namespace

SystemTime GetLocalTime() {
  {
    std::lock_guard<std::mutex> lock(overrideMutex);
    if (pinned) return *pinned;
  }
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm parts{};
  localtime_r(&now.tv_sec, &parts);
  SystemTime t{};
  t.year = static_cast<uint16_t>(parts.tm_year + 1900);
  t.month = static_cast<uint16_t>(parts.tm_mon + 1);
  t.dayOfWeek = static_cast<uint16_t>(parts.tm_wday);
  t.day = static_cast<uint16_t>(parts.tm_mday);
  t.hour = static_cast<uint16_t>(parts.tm_hour);
  t.minute = static_cast<uint16_t>(parts.tm_min);
  t.second = static_cast<uint16_t>(parts.tm_sec);
  t.milliseconds = static_cast<uint16_t>(now.tv_nsec / 1000000);
  return t;
}

void SetLocalTimeOverride(const std::optional<SystemTime>& moment) {
  std::lock_guard<std::mutex> lock(overrideMutex);
  pinned = moment;
}

}  // namespace platform
