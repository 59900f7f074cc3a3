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

namespace platform::ui {

struct WindowTag;
using HWND = WindowTag*;
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
  WindowProc proc;        // null: messages are accepted and answered with 0
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

// Live windows (tests check that everything made was destroyed).
int LiveWindowCount();

}  // namespace platform::ui
