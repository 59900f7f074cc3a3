// Monitor records as the window system describes a monitor: its rectangle on
// the virtual screen, its work area, flags and device name, in the designed
// 104-byte layout.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/ui/window.h"

namespace platform::ui {

inline constexpr uint32_t MONITORINFOF_PRIMARY = 1;

struct MonitorInfoEx {
  uint32_t cbSize = sizeof(MonitorInfoEx);
  Rect rcMonitor{};
  Rect rcWork{};
  uint32_t dwFlags = 0;
  char16_t szDevice[32] = {};
};
static_assert(sizeof(MonitorInfoEx) == 104);
static_assert(offsetof(MonitorInfoEx, szDevice) == 40);

}  // namespace platform::ui
