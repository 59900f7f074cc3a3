// Internal: Xlib and the X-Resource client library, loaded when first needed.
//
// libtool.so does not link the X libraries: it is a general utility library
// that programs load on machines without any X installation (servers,
// containers), and only the window query needs X. So libX11.so.6 (and
// libXRes.so.1, for the owners of windows that carry no _NET_WM_PID) are
// opened with dlopen at the first window query and stay loaded. Where they are
// missing, the window query answers null and nothing else changes.
//
// Thread safety: LoadXlib may be called from any thread; the table it returns
// never changes.
#pragma once

#include <X11/Xlib.h>
#include <X11/extensions/XRes.h>

namespace tool::x11_internal {

struct Xlib {
  decltype(&::XOpenDisplay) XOpenDisplay = nullptr;
  decltype(&::XCloseDisplay) XCloseDisplay = nullptr;
  decltype(&::XDefaultRootWindow) XDefaultRootWindow = nullptr;
  decltype(&::XQueryTree) XQueryTree = nullptr;
  decltype(&::XInternAtom) XInternAtom = nullptr;
  decltype(&::XGetWindowProperty) XGetWindowProperty = nullptr;
  decltype(&::XFree) XFree = nullptr;
  decltype(&::XSetErrorHandler) XSetErrorHandler = nullptr;
  // Null before libX11 1.7: a lost server then ends the process, as Xlib does.
  decltype(&::XSetIOErrorExitHandler) XSetIOErrorExitHandler = nullptr;
  // All null without libXRes.
  decltype(&::XResQueryExtension) XResQueryExtension = nullptr;
  decltype(&::XResQueryClientIds) XResQueryClientIds = nullptr;
  decltype(&::XResGetClientPid) XResGetClientPid = nullptr;
  decltype(&::XResClientIdsDestroy) XResClientIdsDestroy = nullptr;
};

// The loaded functions, or null when libX11 (or one of the functions the
// window query cannot do without) is missing.
const Xlib* LoadXlib();

}  // namespace tool::x11_internal
