// The window a render process shows, for the region to snap to: the first
// visible window without owner of the process, else of its parent, and so on
// up the process tree (a program whose sound comes from a helper process
// shows its window from the parent).
//
// Thread safety: any thread; reads the display layer and /proc.
#pragma once

#include <cstdint>

#include "platform/display/display.h"

namespace qelrec {

// 0 when neither the process nor any of its ancestors shows such a window.
platform::display::Window FindTargetWindow(uint32_t pid);

}  // namespace qelrec
