#include "tool/x11_library.h"

#include <dlfcn.h>

namespace tool::x11_internal {

namespace {

template <typename Function>
void Bind(void* library, const char* name, Function& function) {
  function = library != nullptr ? reinterpret_cast<Function>(::dlsym(library, name)) : nullptr;
}

// The libraries are never closed: Xlib keeps process-wide state (handlers,
// extension hooks) that must outlive any display opened through it.
Xlib Load() {
  Xlib x;
  void* x11 = ::dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
  if (x11 == nullptr) return x;
  Bind(x11, "XOpenDisplay", x.XOpenDisplay);
  Bind(x11, "XCloseDisplay", x.XCloseDisplay);
  Bind(x11, "XDefaultRootWindow", x.XDefaultRootWindow);
  Bind(x11, "XQueryTree", x.XQueryTree);
  Bind(x11, "XInternAtom", x.XInternAtom);
  Bind(x11, "XGetWindowProperty", x.XGetWindowProperty);
  Bind(x11, "XFree", x.XFree);
  Bind(x11, "XSetErrorHandler", x.XSetErrorHandler);
  Bind(x11, "XSetIOErrorExitHandler", x.XSetIOErrorExitHandler);
  void* xres = ::dlopen("libXRes.so.1", RTLD_NOW | RTLD_LOCAL);
  Bind(xres, "XResQueryExtension", x.XResQueryExtension);
  Bind(xres, "XResQueryClientIds", x.XResQueryClientIds);
  Bind(xres, "XResGetClientPid", x.XResGetClientPid);
  Bind(xres, "XResClientIdsDestroy", x.XResClientIdsDestroy);
  if (x.XResQueryExtension == nullptr || x.XResQueryClientIds == nullptr || x.XResGetClientPid == nullptr ||
      x.XResClientIdsDestroy == nullptr) {
    x.XResQueryExtension = nullptr;
  }
  return x;
}

}  // namespace

const Xlib* LoadXlib() {
  static const Xlib table = Load();
  const bool usable = table.XOpenDisplay != nullptr && table.XCloseDisplay != nullptr &&
                      table.XDefaultRootWindow != nullptr && table.XQueryTree != nullptr &&
                      table.XInternAtom != nullptr && table.XGetWindowProperty != nullptr && table.XFree != nullptr &&
                      table.XSetErrorHandler != nullptr;
  return usable ? &table : nullptr;
}

}  // namespace tool::x11_internal
