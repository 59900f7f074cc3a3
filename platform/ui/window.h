// Windows and their messages: the part of the window system the recorder and
// its host use. A window is an id the layer validates (never dereferenced) with
// a window procedure and the thread that made it. Messages sent to a window of
// the calling thread run its procedure at once; sent from another thread they
// wait in the owner thread's queue until that thread pumps messages (GetMessage
// or PeekMessage), and the sender blocks until the procedure has returned, as
// the synchronous hand-over of a result record needs.
//
// Thread safety: all functions may be called from any thread. Window procedures
// run without any lock of this layer held, so they may call back into it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/core/window_id.h"

namespace platform::ui {

using HWND = WindowId;
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;

// Parent that makes a message-only window: never shown, only receives messages.
inline HWND const HWND_MESSAGE = reinterpret_cast<HWND>(static_cast<intptr_t>(-3));

inline constexpr uint32_t WM_DESTROY = 0x0002;
inline constexpr uint32_t WM_CLOSE = 0x0010;
inline constexpr uint32_t WM_QUIT = 0x0012;
inline constexpr uint32_t WM_COPYDATA = 0x004A;
inline constexpr uint32_t WM_TIMER = 0x0113;
inline constexpr uint32_t WM_HOTKEY = 0x0312;
inline constexpr uint32_t WM_USER = 0x0400;
inline constexpr uint32_t WM_SETCURSOR = 0x0020;  // wParam: the window; lParam low word: hit-test code
inline constexpr uint32_t WM_NCHITTEST = 0x0084;  // lParam: x in the low, y in the high 16 bits (signed)
inline constexpr uint32_t WM_SIZING = 0x0214;     // wParam: the edge; lParam: Rect* the window will get
inline constexpr uint32_t WM_MOVING = 0x0216;     // lParam: Rect* the window will get

// Hit-test codes: what a point of a window is to the user.
inline constexpr int HTNOWHERE = 0;
inline constexpr int HTCLIENT = 1;
inline constexpr int HTCAPTION = 2;
inline constexpr int HTLEFT = 10;
inline constexpr int HTBOTTOMRIGHT = 17;  // the sizing codes run from HTLEFT to here

inline constexpr uint32_t WS_VISIBLE = 0x10000000;     // shown from the start
inline constexpr uint32_t WS_THICKFRAME = 0x00040000;  // sizable
inline constexpr uint32_t WS_EX_LAYERED = 0x00080000;
inline constexpr uint32_t LWA_COLORKEY = 0x1;
inline constexpr uint32_t LWA_ALPHA = 0x2;
inline constexpr int IDC_ARROW = 32512;
inline constexpr int IDC_SIZEALL = 32646;

inline LPARAM MakePointLParam(int x, int y) {
  return static_cast<LPARAM>((static_cast<uint32_t>(static_cast<uint16_t>(y)) << 16) | static_cast<uint16_t>(x));
}
inline int PointX(LPARAM l) { return static_cast<int16_t>(static_cast<uint16_t>(l & 0xFFFF)); }
inline int PointY(LPARAM l) { return static_cast<int16_t>(static_cast<uint16_t>((l >> 16) & 0xFFFF)); }

struct Rect {
  int32_t left;
  int32_t top;
  int32_t right;
  int32_t bottom;
};
static_assert(sizeof(Rect) == 16);

// What a WM_COPYDATA message points at (lParam); valid only during the call.
struct CopyDataStruct {
  uintptr_t dwData;
  uint32_t cbData;
  const void* lpData;
};

struct Msg {
  HWND hwnd;
  uint32_t message;
  WPARAM wParam;
  LPARAM lParam;
};

using WindowProc = std::function<LRESULT(HWND, uint32_t, WPARAM, LPARAM)>;

struct WindowParams {
  HWND parent = nullptr;  // HWND_MESSAGE for a message-only window
  std::string title;
  uint32_t style = 0;
  uint32_t exStyle = 0;
  Rect rect{0, 0, 0, 0};
  WindowProc proc;  // null: messages are accepted and answered with 0
};

// Makes a window owned by the calling thread; null when the parent is neither
// null, HWND_MESSAGE nor a live window.
HWND CreateWindowEx(const WindowParams& params);
// Sends WM_DESTROY to the window's procedure and forgets it; false when the
// window does not exist. Pending messages sent to it are answered with 0.
bool DestroyWindow(HWND window);
bool IsWindow(HWND window);

// Runs the window procedure and returns its result (see the header comment);
// 0 for a window that does not exist or is destroyed meanwhile.
LRESULT SendMessage(HWND window, uint32_t message, WPARAM wParam, LPARAM lParam);
// Queues a message for the window's thread; false when the window does not exist.
bool PostMessage(HWND window, uint32_t message, WPARAM wParam, LPARAM lParam);
// Queues WM_QUIT for the calling thread.
void PostQuitMessage(int exitCode);

// Blocks until a posted message arrives for the calling thread, running
// messages sent from other threads meanwhile. Returns 0 for WM_QUIT (exit code
// in wParam), else 1.
int GetMessage(Msg& msg);
// Like GetMessage without blocking; false when nothing was posted.
bool PeekMessage(Msg& msg);
// Runs the target window's procedure for a posted message (0 without a window).
LRESULT DispatchMessage(const Msg& msg);

// Window state kept for callers and tests.
std::string GetWindowTitle(HWND window);
bool SetWindowTitle(HWND window, const std::string& title);
// The first live window with this title (null when none).
HWND FindWindowByTitle(const std::string& title);
bool GetWindowRect(HWND window, Rect& rect);
bool SetWindowPos(HWND window, const Rect& rect);
bool IsMessageOnlyWindow(HWND window);
// The parent given at creation (null for none or an unknown window).
HWND GetParent(HWND window);
uint32_t GetWindowStyle(HWND window);
uint32_t GetWindowExStyle(HWND window);
bool SetWindowExStyle(HWND window, uint32_t exStyle);

// See-through windows: pixels of the colour key (LWA_COLORKEY) are not drawn;
// alpha (LWA_ALPHA) makes the whole window translucent. False unless the
// window has WS_EX_LAYERED.
struct LayeredAttributes {
  uint32_t colorKey = 0;
  uint8_t alpha = 255;
  uint32_t flags = 0;
};
bool SetLayeredWindowAttributes(HWND window, uint32_t colorKey, uint8_t alpha, uint32_t flags);
bool GetLayeredWindowAttributes(HWND window, LayeredAttributes* attributes);

// The mouse pointer's shape, as the window under it last set it.
void SetCursorShape(int cursor);
int CurrentCursorShape();

// Injector: the user presses the mouse at (x, y) on the screen and drags the
// window to `to`. The window is asked what the point is (WM_NCHITTEST) and
// shows its pointer (WM_SETCURSOR); on its caption it moves (WM_MOVING), on a
// sizing border it is resized (WM_SIZING), else nothing happens. Messages are
// sent, so the window's thread must be pumping when called from another
// thread. True when the window moved or was resized.
bool DragWindow(HWND window, int x, int y, const Rect& to);

// Live windows (tests check that everything made was destroyed).
int LiveWindowCount();

}  // namespace platform::ui
