// The window system's monitors: the display layer's active devices that have
// a current mode, in device order. The work area and the monitor lookup walk
// them.
//
// Thread safety: may be called from any thread (the display layer serializes
// itself).
#pragma once

#include <cstdint>
#include <functional>

#include "platform/ui/window.h"

namespace platform::ui {

struct ActiveMonitor {
  uint32_t index = 0;  // the display device index
  Rect rect{};         // on the virtual screen
  bool primary = false;
};

// Calls `visit` for each monitor until it returns false. Devices are asked for
// one at a time, so a walk that stops early asks no further.
void ForEachActiveMonitor(const std::function<bool(const ActiveMonitor&)>& visit);

}  // namespace platform::ui
