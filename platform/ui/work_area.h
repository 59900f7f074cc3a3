// The primary monitor's work area, as a host asks the window system for it
// before it places a recording region.
//
// Thread safety: may be called from any thread.
#pragma once

#include <cstdint>

#include "platform/ui/window.h"

namespace platform::ui {

inline constexpr uint32_t SPI_GETWORKAREA = 0x0030;

// SPI_GETWORKAREA: the work area of the primary monitor (the display layer's
// primary device, else its first active one) on the virtual screen. No panel or
// dock is subtracted: the display layer knows monitors, not the desktop's
// reserved strips. False, with `rect` unchanged, for any other action or when no
// monitor is active.
bool SystemParametersInfo(uint32_t action, Rect* rect);

}  // namespace platform::ui
