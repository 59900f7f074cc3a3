// platform/display: the display devices, the virtual screen, and the window
// and process tables that the screen-capture code asks about.
//
// Two backings, chosen once per process on first use: the real one unless
// QEL_BACKING=sim (or a test) forces the simulation.
// - X11 (the server DISPLAY names): monitors from XRandR as
//   display devices, primary first, then in XRandR order; the root window as
//   the virtual screen; windows from the window manager's client list, or the
//   root's children when no window manager runs; owners from _NET_WM_PID or
//   the X-Resource extension. An X error never ends the process: it becomes
//   the failure result of the call (see x11_connection.h).
//   When that server cannot be reached the process has no screen: no devices,
//   no pixels, and UnavailableReason says why. A simulated screen is never
//   served in its place.
// - Simulated (tests and try-outs): the devices, framebuffers, windows and
//   processes that tests set through sim_display.h.
//
// The calls keep the shapes the capture code uses: an index walk over the
// devices that fails past the last, texts copied into caller buffers with
// their lengths, 0 for a window that does not exist.
//
// Thread safety: every function may be called from any thread; the backing
// serializes its own state.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/core/backing.h"

namespace platform::display {

struct Rect {
  int left = 0;
  int top = 0;
  int right = 0;
  int bottom = 0;
  int width() const { return right - left; }
  int height() const { return bottom - top; }
  bool empty() const { return left >= right || top >= bottom; }
  bool operator==(const Rect&) const = default;
};

// State flags of a display device.
inline constexpr uint32_t kDisplayDeviceActive = 0x1;  // attached to the desktop
inline constexpr uint32_t kDisplayDevicePrimary = 0x4;

struct DisplayDevice {
  std::wstring name;         // device name, unique among the devices
  std::wstring description;  // what the device is (the XRandR output, "Simulated display")
  std::wstring key;          // identity of the device behind the index; changes when another device takes it
  uint32_t stateFlags = 0;
};

// The current mode of a device.
struct DeviceMode {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  int rotation = 0;  // clockwise quarter turns of the monitor
  int bitsPerPixel = 32;
};

// The device at `index` (0, 1, 2, ... in enumeration order); false past the last.
bool EnumDisplayDevices(uint32_t index, DisplayDevice* device);
// The current mode of the device named `deviceName`; false when it has none
// (inactive) or does not exist.
bool EnumDisplaySettingsCurrent(const std::wstring& deviceName, DeviceMode* mode);

enum class Metric {
  kXVirtualScreen,
  kYVirtualScreen,
  kCxVirtualScreen,
  kCyVirtualScreen,
  kMonitorCount,
};
int GetSystemMetrics(Metric metric);
// The virtual screen as a rectangle (the bounding box of the active devices).
Rect VirtualScreen();
// Logical dots per inch of the screen (X11: Xft.dpi when set, else 96).
int ScreenDpi();

// Windows are ids; 0 is none. Top-level windows in stacking/listing order.
using Window = uint64_t;
std::vector<Window> EnumWindows();
// The owning process of `window`, 0 when the window does not exist or its
// owner cannot be told.
uint32_t GetWindowThreadProcessId(Window window);
// Title length in characters, 0 when none or no such window.
int GetWindowTextLength(Window window);
// Copies at most capacity - 1 characters of the title and a terminating 0;
// returns the characters copied.
int GetWindowText(Window window, wchar_t* buffer, int capacity);
// Same for the class name.
int GetClassName(Window window, wchar_t* buffer, int capacity);
// Window style bits the capture code reads.
inline constexpr uint32_t kStyleMaximizeBox = 0x10000;
inline constexpr uint32_t kStyleMinimizeBox = 0x20000;
uint32_t GetWindowStyle(Window window);

// Where a window lies and how it is shown. X11: the client window's position
// on the root plus the frame the window manager draws (_NET_FRAME_EXTENTS);
// the owner from WM_TRANSIENT_FOR; minimised from WM_STATE or
// _NET_WM_STATE_HIDDEN. A minimised window still counts as visible: it is
// shown, only folded away.
struct WindowPlacement {
  Rect frame;        // outer bounds on the virtual screen, frame included
  Window owner = 0;  // the window it belongs to (a dialog's main window), 0 = none
  bool visible = true;
  bool minimized = false;
};
// The window's outer bounds as the user sees them; false when it does not exist.
bool GetWindowFrameBounds(Window window, Rect* rect);
// The owning window, 0 when none or no such window.
Window GetWindowOwner(Window window);
bool IsWindowVisible(Window window);
bool IsIconic(Window window);
// Brings a minimised window back (X11: mapped again and activated through the
// window manager); false when the window does not exist.
bool RestoreWindow(Window window);

// Processes, through handles the layer counts.
using ProcessHandle = uint64_t;  // 0 is none
// A handle for querying `pid`, or 0 (and the last error set) when there is no such process.
ProcessHandle OpenProcess(uint32_t pid);
// The process's executable path into `buffer` of `*size` characters; on
// success `*size` becomes the path's length. False when it does not fit or
// cannot be read.
bool QueryFullProcessImageName(ProcessHandle process, wchar_t* buffer, uint32_t* size);
void CloseProcessHandle(ProcessHandle process);

// Which backing serves the calls (chosen on first use).
Backing CurrentBacking();
// Why there is no screen to read: "" while the backing serves one; else a line
// that names the display and says why ("no X display: DISPLAY is not set",
// "the X display :5 does not answer", "the X display :5 refused the
// connection").
std::string UnavailableReason();
// True once the screen's source is gone for good: the X server's connection
// was lost. No call serves pixels or devices afterwards.
bool ScreenLost();
// Testing: drop the current backing and serve from `backing` from now on;
// `x11Display` names the server for the real backing ("" = $DISPLAY). False
// (and the simulated backing) when the X server cannot be reached.
bool SelectBacking(Backing backing, const std::string& x11Display = "");

}  // namespace platform::display
