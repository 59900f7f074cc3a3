// Small questions about windows and their processes, for the full-screen
// window detector.
//
// Thread safety: reentrant (the display layer serializes itself).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "capture/modules/desktop_capture/desktop_capturer.h"

namespace capture {

// The process that owns `window`; 0 when the window does not exist.
uint32_t WindowProcessId(WindowHandle window);
// The executable path of `window`'s process; empty when it cannot be read.
std::string ProcessImagePathOfWindow(WindowHandle window);
// The window's title in UTF-8; empty when it has none.
std::string WindowTitleUtf8(WindowHandle window);
// True for a PowerPoint editor frame (class "PPTFrameClass" exactly).
bool IsWindowOfClass(WindowHandle window);
// The entries of `windows`, in order, that belong to `pid`, without `excluded`.
std::vector<DesktopCapturer::SourceEntry> WindowsOfProcess(const std::vector<DesktopCapturer::SourceEntry>& windows,
                                                           uint32_t pid, WindowHandle excluded);

}  // namespace capture
