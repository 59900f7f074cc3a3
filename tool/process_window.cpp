// GetWindowHandleByPID on the X server that $DISPLAY names, through a private
// connection opened for the one query and Xlib loaded at run time
// (tool/x11_library.h).
//
// The top-level windows are the root's children, walked from the top of the
// stacking order down. Under a window manager a root child is the manager's
// frame, and the program's own window (the one carrying WM_STATE) lies inside
// it: that window stands for the top-level window, so its owner and its
// children are what count, as they would be without a manager. A window's
// owner is its _NET_WM_PID, else the process the X server knows for the
// client that made it (X-Resource extension, local clients only).
//
// Xlib reports protocol errors (a window that vanished during the walk) and a
// lost server through process-wide handlers whose defaults end the process.
// For the walk, errors on our own connection are swallowed (the request then
// fails) and every other connection's errors go on to the handler that was
// installed before; a lost server ends the walk with null.
#include <X11/Xatom.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "tool/process_info.h"
#include "tool/x11_library.h"

namespace tool {

namespace {

using x11_internal::Xlib;

constexpr int kFrameDepth = 3;

std::mutex walkMutex;  // one walk at a time owns the error handler
std::atomic<Display*> walkDisplay{nullptr};
std::atomic<XErrorHandler> previousHandler{nullptr};

int OnXError(Display* display, XErrorEvent* event) {
  if (display == walkDisplay.load()) return 0;
  const XErrorHandler previous = previousHandler.load();
  return previous != nullptr ? previous(display, event) : 0;
}

void OnServerLost(Display*, void* lost) { static_cast<std::atomic<bool>*>(lost)->store(true); }

// The private connection of one walk, with the error handler in place.
class Walk {
 public:
  explicit Walk(const Xlib& x) : x_(x) {}
  ~Walk() {
    if (display_ == nullptr) return;
    x_.XCloseDisplay(display_);
    walkDisplay.store(nullptr);
    // Put the earlier handler back, unless someone replaced ours meanwhile.
    const XErrorHandler ours = x_.XSetErrorHandler(previousHandler.load());
    if (ours != &OnXError) x_.XSetErrorHandler(ours);
  }
  Walk(const Walk&) = delete;
  Walk& operator=(const Walk&) = delete;

  bool Open() {
    display_ = x_.XOpenDisplay(nullptr);
    if (display_ == nullptr) return false;
    if (x_.XSetIOErrorExitHandler != nullptr) x_.XSetIOErrorExitHandler(display_, &OnServerLost, &lost_);
    walkDisplay.store(display_);
    const XErrorHandler before = x_.XSetErrorHandler(&OnXError);
    if (before != &OnXError) previousHandler.store(before);
    netWmPid_ = x_.XInternAtom(display_, "_NET_WM_PID", True);
    wmState_ = x_.XInternAtom(display_, "WM_STATE", True);
    int event = 0;
    int error = 0;
    hasXres_ = x_.XResQueryExtension != nullptr && x_.XResQueryExtension(display_, &event, &error);
    return !lost_.load();
  }

  // The first window of `pid` from the top that has a child window; 0 for none.
  ::Window Find(uint32_t pid) {
    const std::vector<::Window> topLevel = Children(x_.XDefaultRootWindow(display_));
    for (auto it = topLevel.rbegin(); it != topLevel.rend() && !lost_.load(); ++it) {
      const ::Window window = ClientOf(*it);
      if (Owner(window) == pid && !Children(window).empty() && !lost_.load()) return window;
    }
    return 0;
  }

 private:
  // Children from the bottom of the stacking order up; empty on an error.
  std::vector<::Window> Children(::Window window) {
    std::vector<::Window> out;
    ::Window root = 0;
    ::Window parent = 0;
    ::Window* children = nullptr;
    unsigned count = 0;
    if (lost_.load() || !x_.XQueryTree(display_, window, &root, &parent, &children, &count)) return out;
    if (children != nullptr) {
      out.assign(children, children + count);
      x_.XFree(children);
    }
    return out;
  }

  bool HasProperty(::Window window, Atom property) {
    if (property == None || lost_.load()) return false;
    Atom type = None;
    int format = 0;
    unsigned long items = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    const int status = x_.XGetWindowProperty(display_, window, property, 0, 0, False, AnyPropertyType, &type, &format,
                                             &items, &after, &data);
    if (data != nullptr) x_.XFree(data);
    return status == Success && type != None;
  }

  // The program's window inside a manager's frame, else the window itself.
  ::Window ClientOf(::Window window) {
    if (wmState_ == None) return window;  // no manager ever ran here
    const ::Window client = Managed(window, 0);
    return client != 0 ? client : window;
  }

  // The window carrying WM_STATE at or below `window`, depth first (managers
  // may nest a frame in a frame); 0 when none is near enough to be a frame's.
  ::Window Managed(::Window window, int depth) {
    if (HasProperty(window, wmState_)) return window;
    if (depth >= kFrameDepth) return 0;
    for (::Window child : Children(window)) {
      if (const ::Window found = Managed(child, depth + 1)) return found;
    }
    return 0;
  }

  uint32_t Owner(::Window window) {
    if (netWmPid_ != None && !lost_.load()) {
      Atom type = None;
      int format = 0;
      unsigned long items = 0;
      unsigned long after = 0;
      unsigned char* data = nullptr;
      const int status = x_.XGetWindowProperty(display_, window, netWmPid_, 0, 1, False, XA_CARDINAL, &type, &format,
                                               &items, &after, &data);
      uint32_t pid = 0;
      // Format 32 items arrive as longs on the client side.
      if (status == Success && format == 32 && items >= 1 && data != nullptr) {
        pid = static_cast<uint32_t>(*reinterpret_cast<unsigned long*>(data));
      }
      if (data != nullptr) x_.XFree(data);
      if (pid != 0) return pid;
    }
    if (!hasXres_ || lost_.load()) return 0;
    XResClientIdSpec query{window, XRES_CLIENT_ID_PID_MASK};
    long count = 0;
    XResClientIdValue* values = nullptr;
    uint32_t pid = 0;
    if (x_.XResQueryClientIds(display_, 1, &query, &count, &values) == Success) {
      for (long i = 0; i < count && pid == 0; ++i) {
        if ((values[i].spec.mask & XRES_CLIENT_ID_PID_MASK) == 0) continue;
        const pid_t found = x_.XResGetClientPid(&values[i]);
        if (found > 0) pid = static_cast<uint32_t>(found);
      }
      x_.XResClientIdsDestroy(count, values);
    }
    return pid;
  }

  const Xlib& x_;
  Display* display_ = nullptr;
  std::atomic<bool> lost_{false};
  Atom netWmPid_ = None;
  Atom wmState_ = None;
  bool hasXres_ = false;
};

}  // namespace

void* GetWindowHandleByPID(uint64_t process_id) {
  if (process_id == 0 || process_id > UINT32_MAX) return nullptr;
  const Xlib* x = x11_internal::LoadXlib();
  if (x == nullptr) return nullptr;
  std::lock_guard<std::mutex> lock(walkMutex);
  Walk walk(*x);
  if (!walk.Open()) return nullptr;
  return reinterpret_cast<void*>(static_cast<uintptr_t>(walk.Find(static_cast<uint32_t>(process_id))));
}

}  // namespace tool
