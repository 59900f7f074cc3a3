// Maps top-level windows on $DISPLAY for the window query's tests, prints
// their ids (one line each, bottom of the stacking order first) once the
// server has them all, and then waits to be killed.
//
// Each argument makes one window: "child" (it has a child window) or "bare";
// "+pid" sets _NET_WM_PID to this process's id, as toolkits do.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return 1;
  const Window root = DefaultRootWindow(display);
  const Atom pidAtom = XInternAtom(display, "_NET_WM_PID", False);
  std::vector<Window> made;
  for (int i = 1; i < argc; ++i) {
    const std::string layout = argv[i];
    const Window window = XCreateSimpleWindow(display, root, 10 * i, 10 * i, 200, 150, 0, 0, 0);
    if (layout.rfind("child", 0) == 0) XMapWindow(display, XCreateSimpleWindow(display, window, 5, 5, 50, 50, 0, 0, 0));
    if (layout.ends_with("+pid")) {
      const unsigned long pid = static_cast<unsigned long>(::getpid());
      XChangeProperty(display, window, pidAtom, XA_CARDINAL, 32, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(&pid), 1);
    }
    XMapWindow(display, window);
    made.push_back(window);
  }
  XSync(display, False);
  for (Window window : made) std::printf("%lu\n", window);
  std::fflush(stdout);
  for (;;) ::pause();
}
