// What the layer's parts (devices, GDI, duplication) share of the current
// backing, under the layer's lock.
#pragma once

#include <cstdint>
#include <string>

#include "platform/display/display.h"

namespace platform::display::internal {

bool GrabScreen(const Rect& area, uint8_t* bits, int stride);
std::wstring InputDesktopName();
uint32_t SessionId();

}  // namespace platform::display::internal
