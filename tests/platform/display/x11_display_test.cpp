// The X11 backing of platform/display against a private Xvfb: devices and the
// virtual screen match what the server reports, windows and their owners are
// found without a window manager, and a lost server ends calls cleanly.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "common/text_convert.h"
#include "platform/display/display.h"
#include "support/xvfb_server.h"

// Xlib's macros (None, Bool, Status) clash with GoogleTest's names: last.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

namespace platform::display {
namespace {

class X11DisplayTest : public testing::Test {
 protected:
  void SetUp() override {
    server_ = std::make_unique<qel::test::XvfbServer>(1600, 900);
    if (!server_->running()) GTEST_SKIP() << "no X server for this test: " << server_->error();
    client_ = XOpenDisplay(server_->display().c_str());
    ASSERT_NE(client_, nullptr);
    ASSERT_TRUE(SelectBacking(Backing::Real, server_->display()));
    ASSERT_EQ(CurrentBacking(), Backing::Real);
  }
  void TearDown() override {
    SelectBacking(Backing::Simulated);
    if (client_ != nullptr) XCloseDisplay(client_);
  }

  // Splits the screen into two monitors, the right one primary; false when
  // the server refuses.
  bool MakeTwoMonitors() {
    ::Window root = DefaultRootWindow(client_);
    struct Spec {
      const char* name;
      int x, width;
      bool primary;
    } specs[] = {{"LEFT-1", 0, 600, false}, {"RIGHT-1", 600, 1000, true}};
    for (const Spec& s : specs) {
      XRRMonitorInfo* m = XRRAllocateMonitor(client_, 0);
      if (m == nullptr) return false;
      m->name = XInternAtom(client_, s.name, False);
      m->primary = s.primary;
      m->x = s.x;
      m->y = 0;
      m->width = s.width;
      m->height = 900;
      m->mwidth = s.width / 4;
      m->mheight = 225;
      XRRSetMonitor(client_, root, m);
      XRRFreeMonitors(m);
    }
    XSync(client_, False);
    int count = 0;
    XRRMonitorInfo* list = XRRGetMonitors(client_, root, True, &count);
    XRRFreeMonitors(list);
    return count >= 2;
  }

  std::unique_ptr<qel::test::XvfbServer> server_;
  Display* client_ = nullptr;
};

TEST_F(X11DisplayTest, DevicesAndVirtualScreenMatchTheServer) {
  bool two = MakeTwoMonitors();
  if (!two) std::printf("the server keeps one monitor; testing with one\n");
  ::Window root = DefaultRootWindow(client_);
  int count = 0;
  XRRMonitorInfo* list = XRRGetMonitors(client_, root, True, &count);
  ASSERT_GT(count, 0);
  // The server's list, primary first.
  std::vector<XRRMonitorInfo*> expected;
  for (int i = 0; i < count; ++i)
    if (list[i].primary) expected.push_back(&list[i]);
  for (int i = 0; i < count; ++i)
    if (!list[i].primary) expected.push_back(&list[i]);

  for (size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(i);
    DisplayDevice device;
    ASSERT_TRUE(EnumDisplayDevices(static_cast<uint32_t>(i), &device));
    char* name = XGetAtomName(client_, expected[i]->name);
    EXPECT_EQ(qel::wideToUtf8(device.name), name);
    XFree(name);
    EXPECT_NE(device.stateFlags & kDisplayDeviceActive, 0u);
    EXPECT_EQ((device.stateFlags & kDisplayDevicePrimary) != 0, expected[i]->primary != 0);
    DeviceMode mode;
    ASSERT_TRUE(EnumDisplaySettingsCurrent(device.name, &mode));
    EXPECT_EQ(mode.x, expected[i]->x);
    EXPECT_EQ(mode.y, expected[i]->y);
    EXPECT_EQ(mode.width, expected[i]->width);
    EXPECT_EQ(mode.height, expected[i]->height);
  }
  DisplayDevice past;
  EXPECT_FALSE(EnumDisplayDevices(static_cast<uint32_t>(expected.size()), &past));
  XRRFreeMonitors(list);
  if (two) {
    DisplayDevice first;
    ASSERT_TRUE(EnumDisplayDevices(0, &first));
    EXPECT_EQ(first.name, L"RIGHT-1");
  }
  EXPECT_EQ(VirtualScreen(), (Rect{0, 0, 1600, 900}));
  EXPECT_EQ(GetSystemMetrics(Metric::kCxVirtualScreen), DisplayWidth(client_, DefaultScreen(client_)));
  EXPECT_EQ(GetSystemMetrics(Metric::kCyVirtualScreen), DisplayHeight(client_, DefaultScreen(client_)));
  EXPECT_EQ(GetSystemMetrics(Metric::kMonitorCount), static_cast<int>(expected.size()));
  EXPECT_EQ(ScreenDpi(), 96);
}

TEST_F(X11DisplayTest, WindowWithOnlyATitleIsFoundWithItsOwner) {
  ::Window root = DefaultRootWindow(client_);
  ::Window w = XCreateSimpleWindow(client_, root, 10, 10, 100, 80, 0, 0, 0);
  XStoreName(client_, w, "Qel window test");
  XSync(client_, False);

  auto windows = EnumWindows();
  ASSERT_NE(std::find(windows.begin(), windows.end(), Window{w}), windows.end());
  EXPECT_EQ(GetWindowThreadProcessId(w), static_cast<uint32_t>(getpid()));
  wchar_t title[64];
  EXPECT_EQ(GetWindowTextLength(w), 15);
  EXPECT_EQ(GetWindowText(w, title, 64), 15);
  EXPECT_EQ(std::wstring(title), L"Qel window test");
  EXPECT_EQ(GetWindowText(w, title, 4), 3);  // cut to the buffer
  EXPECT_EQ(std::wstring(title), L"Qel");
  wchar_t cls[17];
  EXPECT_EQ(GetClassName(w, cls, 17), 0);  // no class hint set

  ProcessHandle process = OpenProcess(GetWindowThreadProcessId(w));
  ASSERT_NE(process, 0u);
  wchar_t path[4096];
  uint32_t size = 4096;
  ASSERT_TRUE(QueryFullProcessImageName(process, path, &size));
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(n, 0);
  self[n] = 0;
  EXPECT_EQ(qel::wideToUtf8(std::wstring(path, size)), self);
  CloseProcessHandle(process);

  XDestroyWindow(client_, w);
  XSync(client_, False);
  EXPECT_EQ(GetWindowThreadProcessId(w), 0u);  // a BadWindow is a result, not the end
  EXPECT_EQ(GetWindowTextLength(w), 0);
  EXPECT_EQ(GetWindowThreadProcessId(0x7FFFFFF), 0u);
}

// What a window manager leaves on its clients: the frame it draws
// (_NET_FRAME_EXTENTS), a dialog's main window (WM_TRANSIENT_FOR), and the
// iconic state of a minimised window, which a restore maps again.
TEST_F(X11DisplayTest, PlacementOwnerMinimisedAndRestore) {
  ::Window root = DefaultRootWindow(client_);
  ::Window main = XCreateSimpleWindow(client_, root, 200, 100, 640, 480, 0, 0, 0);
  ::Window dialog = XCreateSimpleWindow(client_, root, 300, 200, 200, 100, 0, 0, 0);
  XSetTransientForHint(client_, dialog, main);
  const unsigned long extents[4] = {2, 3, 24, 5};  // left, right, top, bottom
  XChangeProperty(client_, main, XInternAtom(client_, "_NET_FRAME_EXTENTS", False), XA_CARDINAL, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(extents), 4);
  XMapWindow(client_, dialog);
  XSync(client_, False);

  Rect frame;
  ASSERT_TRUE(GetWindowFrameBounds(main, &frame));
  EXPECT_EQ(frame, (Rect{198, 76, 843, 585}));
  ASSERT_TRUE(GetWindowFrameBounds(dialog, &frame));
  EXPECT_EQ(frame, (Rect{300, 200, 500, 300}));
  EXPECT_EQ(GetWindowOwner(dialog), Window{main});
  EXPECT_EQ(GetWindowOwner(main), 0u);
  EXPECT_TRUE(IsWindowVisible(dialog));
  EXPECT_FALSE(IsWindowVisible(main)) << "never mapped, not minimised";

  // Minimised as a window manager marks it: unmapped, yet shown.
  const Atom wmState = XInternAtom(client_, "WM_STATE", False);
  const unsigned long iconic[2] = {IconicState, 0};
  XChangeProperty(client_, main, wmState, wmState, 32, PropModeReplace, reinterpret_cast<const unsigned char*>(iconic),
                  2);
  XSync(client_, False);
  EXPECT_TRUE(IsIconic(main));
  EXPECT_TRUE(IsWindowVisible(main));
  EXPECT_FALSE(IsIconic(dialog));
  ASSERT_TRUE(RestoreWindow(main));
  XWindowAttributes attributes;
  ASSERT_TRUE(XGetWindowAttributes(client_, main, &attributes));
  EXPECT_EQ(attributes.map_state, IsViewable);

  XDestroyWindow(client_, dialog);
  XDestroyWindow(client_, main);
  XSync(client_, False);
  EXPECT_FALSE(GetWindowFrameBounds(main, &frame));
  EXPECT_FALSE(RestoreWindow(main));
  EXPECT_FALSE(IsWindowVisible(main));
}

TEST_F(X11DisplayTest, LostServerEndsCallsCleanly) {
  DisplayDevice device;
  ASSERT_TRUE(EnumDisplayDevices(0, &device));
  XCloseDisplay(client_);
  client_ = nullptr;
  server_->kill();
  EXPECT_FALSE(EnumDisplayDevices(0, &device));
  EXPECT_TRUE(VirtualScreen().empty());
  EXPECT_TRUE(EnumWindows().empty());
  EXPECT_EQ(GetWindowTextLength(0x200001), 0);
}

}  // namespace
}  // namespace platform::display
