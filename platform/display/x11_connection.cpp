#include "platform/display/x11_connection.h"

#include <cstdio>
#include <mutex>
#include <set>

namespace platform::x11 {

int HandleXError(Display* display, XErrorEvent* event);

namespace {

thread_local ErrorTrap* currentTrap = nullptr;

std::mutex& lostMutex() {
  static std::mutex mutex;
  return mutex;
}
std::set<Display*>& lostDisplays() {
  static std::set<Display*> displays;
  return displays;
}

int HandleIoError(Display* display) {
  std::lock_guard lock(lostMutex());
  lostDisplays().insert(display);
  std::fprintf(stderr, "platform: the X server connection was lost\n");
  return 0;
}

// Replaces Xlib's exit: returning makes the request fail, and the connection
// stays marked as broken.
void KeepRunningAfterIoError(Display* display, void*) {
  std::lock_guard lock(lostMutex());
  lostDisplays().insert(display);
}

void InstallHandlers() {
  static std::once_flag once;
  std::call_once(once, [] {
    XInitThreads();
    XSetErrorHandler(HandleXError);
    XSetIOErrorHandler(HandleIoError);
  });
}

}  // namespace

int HandleXError(Display* display, XErrorEvent* event) {
  for (ErrorTrap* trap = currentTrap; trap != nullptr; trap = trap->outer_) {
    if (trap->display_ == display) {
      if (trap->firstError_ == 0) trap->firstError_ = event->error_code;
      return 0;
    }
  }
  // An error outside any trap (an asynchronous request): noted, never fatal.
  std::fprintf(stderr, "platform: X error %d (request %d.%d)\n", event->error_code, event->request_code,
               event->minor_code);
  return 0;
}

void DisplayCloser::operator()(Display* display) const {
  if (display == nullptr) return;
  {
    std::lock_guard lock(lostMutex());
    lostDisplays().erase(display);
  }
  XCloseDisplay(display);
}

DisplayPtr OpenDisplay(const std::string& name) {
  InstallHandlers();
  Display* display = XOpenDisplay(name.empty() ? nullptr : name.c_str());
  if (display == nullptr) return nullptr;
  XSetIOErrorExitHandler(display, KeepRunningAfterIoError, nullptr);
  return DisplayPtr(display);
}

bool ConnectionLost(Display* display) {
  std::lock_guard lock(lostMutex());
  return lostDisplays().count(display) != 0;
}

ErrorTrap::ErrorTrap(Display* display) : display_(display), outer_(currentTrap) { currentTrap = this; }

ErrorTrap::~ErrorTrap() { currentTrap = outer_; }

int ErrorTrap::Sync() {
  if (ConnectionLost(display_)) return BadImplementation;
  XSync(display_, False);
  if (ConnectionLost(display_)) return BadImplementation;
  return firstError_;
}

}  // namespace platform::x11
