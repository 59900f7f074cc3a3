// What the layer's parts (devices, GDI, duplication) share of the current
// backing, under the layer's lock.
#pragma once

#include <cstdint>
#include <string>

#include "platform/core/faults.h"
#include "platform/display/display.h"

namespace platform::display::internal {

bool GrabScreen(const Rect& area, uint8_t* bits, int stride);
std::wstring InputDesktopName();
uint32_t SessionId();

// True when an armed fault makes `call` fail now (the simulated backing only);
// the fault's code becomes the thread's last error.
bool InjectedFailure(const char* call, int64_t target = kNoTarget);

}  // namespace platform::display::internal
