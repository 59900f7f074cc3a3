// Window timers, message boxes and monitors of the window system.
//
// Window timers post WM_TIMER (wParam = the timer id) to their window every
// period; a killed timer's messages still in the queue are dropped when
// dispatched. Message boxes are headless: the text is printed to standard error
// (and kept for tests) and the answer is OK. Monitors are the display layer's
// active devices.
//
// Thread safety: all functions may be called from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/ui/monitor.h"
#include "platform/ui/window.h"

namespace platform::ui {

bool SetTimer(HWND window, uintptr_t id, uint32_t periodMs);
bool KillTimer(HWND window, uintptr_t id);
// Kills every timer of the window (its destruction).
void KillWindowTimers(HWND window);
// Whether the timer still runs (a queued WM_TIMER of a killed timer is stale);
// called as its message is delivered, which lets the next tick post again.
bool TimerAlive(HWND window, uintptr_t id);

inline constexpr uint32_t MB_ICONERROR = 0x10;
inline constexpr int IDOK = 1;

struct ShownMessageBox {
  std::string text;
  std::string caption;
  uint32_t type;
};
int MessageBox(HWND owner, const std::string& text, const std::string& caption, uint32_t type);
std::vector<ShownMessageBox> ShownMessageBoxes();
void ClearShownMessageBoxes();

// Monitor handles are 1 + the display device index; 0 is none.
using HMONITOR = uintptr_t;
inline constexpr uint32_t MONITOR_DEFAULTTONEAREST = 2;
HMONITOR MonitorFromWindow(HWND window, uint32_t flags);
bool GetMonitorInfo(HMONITOR monitor, MonitorInfoEx* info);

}  // namespace platform::ui
