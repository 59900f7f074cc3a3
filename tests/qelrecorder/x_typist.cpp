#include "qelrecorder/x_typist.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace qelrec::test {

bool TypeControlF5(const std::string& display, bool numLock) {
  Display* x = XOpenDisplay(display.c_str());
  if (x == nullptr) return false;
  const KeyCode control = XKeysymToKeycode(x, XK_Control_L);
  const KeyCode f5 = XKeysymToKeycode(x, XK_F5);
  const KeyCode lock = XKeysymToKeycode(x, XK_Num_Lock);
  const auto toggleNumLock = [&] {
    XTestFakeKeyEvent(x, lock, True, 0);
    XTestFakeKeyEvent(x, lock, False, 0);
  };
  if (numLock) toggleNumLock();
  XTestFakeKeyEvent(x, control, True, 0);
  XTestFakeKeyEvent(x, f5, True, 0);
  XTestFakeKeyEvent(x, f5, False, 0);
  XTestFakeKeyEvent(x, control, False, 0);
  if (numLock) toggleNumLock();
  XSync(x, False);
  XCloseDisplay(x);
  return true;
}

}  // namespace qelrec::test

namespace qelrec::test {

ControlF5Holder::ControlF5Holder(const std::string& display) {
  Display* x = XOpenDisplay(display.c_str());
  if (x == nullptr) return;
  display_ = x;
  XGrabKey(x, XKeysymToKeycode(x, XK_F5), ControlMask, DefaultRootWindow(x), False, GrabModeAsync, GrabModeAsync);
  XSync(x, False);
  holding_ = true;
}

ControlF5Holder::~ControlF5Holder() {
  if (display_ != nullptr) XCloseDisplay(static_cast<Display*>(display_));
}

}  // namespace qelrec::test
