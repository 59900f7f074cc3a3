// The simulated backing of platform/display: devices, modes, the virtual
// screen, painting, windows, processes and injected failures.
#include <gtest/gtest.h>

#include "platform/core/faults.h"
#include "platform/core/last_error.h"
#include "platform/display/display.h"
#include "platform/display/sim_display.h"

namespace platform::display {
namespace {

class SimDisplayTest : public testing::Test {
 protected:
  void SetUp() override {
    SelectBacking(Backing::Simulated);
    sim::Reset();
    resetFaults();
    clearViolations();
  }
  void TearDown() override {
    EXPECT_TRUE(violations().empty());
    EXPECT_EQ(sim::OpenProcessHandles(), 0);
  }
};

TEST_F(SimDisplayTest, StartStateIsOneFullHdMonitor) {
  EXPECT_EQ(CurrentBacking(), Backing::Simulated);
  DisplayDevice d;
  ASSERT_TRUE(EnumDisplayDevices(0, &d));
  EXPECT_EQ(d.name, L"\\\\.\\DISPLAY1");
  EXPECT_EQ(d.stateFlags, kDisplayDeviceActive | kDisplayDevicePrimary);
  EXPECT_FALSE(EnumDisplayDevices(1, &d));
  EXPECT_EQ(VirtualScreen(), (Rect{0, 0, 1920, 1080}));
  EXPECT_EQ(GetSystemMetrics(Metric::kMonitorCount), 1);
  EXPECT_EQ(ScreenDpi(), 96);
}

TEST_F(SimDisplayTest, VirtualScreenCoversActiveDevicesOnly) {
  auto left = sim::MakeDevice(0, {-1280, 100, 0, 1124});
  auto primary = sim::MakeDevice(1, {0, 0, 1920, 1080}, true);
  auto off = sim::MakeDevice(2, {1920, 0, 3840, 2160});
  off.active = false;
  auto noMode = sim::MakeDevice(3, {});
  noMode.mode.reset();
  sim::SetDevices({left, primary, off, noMode});
  EXPECT_EQ(VirtualScreen(), (Rect{-1280, 0, 1920, 1124}));
  EXPECT_EQ(GetSystemMetrics(Metric::kXVirtualScreen), -1280);
  EXPECT_EQ(GetSystemMetrics(Metric::kCxVirtualScreen), 3200);
  EXPECT_EQ(GetSystemMetrics(Metric::kMonitorCount), 2);
  DeviceMode mode;
  ASSERT_TRUE(EnumDisplaySettingsCurrent(L"\\\\.\\DISPLAY1", &mode));
  EXPECT_EQ(mode.x, -1280);
  EXPECT_EQ(mode.height, 1024);
  EXPECT_FALSE(EnumDisplaySettingsCurrent(L"\\\\.\\DISPLAY3", &mode));  // inactive
  EXPECT_FALSE(EnumDisplaySettingsCurrent(L"\\\\.\\DISPLAY4", &mode));  // no mode
  EXPECT_FALSE(EnumDisplaySettingsCurrent(L"nope", &mode));
}

TEST_F(SimDisplayTest, PaintingStaysInTheFramebuffer) {
  sim::SetDevices({sim::MakeDevice(0, {-100, 0, 0, 50}), sim::MakeDevice(1, {0, 0, 200, 100}, true)});
  sim::Fill(1, {190, 90, 300, 300}, 0xFF112233);
  sim::SetPixel(0, 5, 6, 0xFF00FF00);
  sim::SetPixel(0, -1, 6, 0xFFFFFFFF);  // ignored
  EXPECT_EQ(sim::Pixel(1, 199, 99), 0xFF112233u);
  EXPECT_EQ(sim::Pixel(1, 189, 99), 0u);
  EXPECT_EQ(sim::Pixel(0, 5, 6), 0xFF00FF00u);
  EXPECT_EQ(sim::ScreenPixel(-95, 6), 0xFF00FF00u);
  EXPECT_EQ(sim::ScreenPixel(195, 95), 0xFF112233u);
  EXPECT_EQ(sim::ScreenPixel(-50, 70), 0u);  // below the left monitor: nothing
  // A new mode size makes a new (black) framebuffer; the same size keeps it.
  auto d = sim::Devices()[1];
  d.key = L"other";
  sim::UpdateDevice(1, d);
  EXPECT_EQ(sim::Pixel(1, 199, 99), 0xFF112233u);
  d.mode = Rect{0, 0, 300, 100};
  sim::UpdateDevice(1, d);
  EXPECT_EQ(sim::Pixel(1, 199, 99), 0u);
}

TEST_F(SimDisplayTest, InjectedFailuresAndCounters) {
  fail("display.EnumDisplayDevices", {.target = 0, .from_call = 1, .times = 1, .code = 31});
  DisplayDevice d;
  EXPECT_TRUE(EnumDisplayDevices(0, &d));
  EXPECT_FALSE(EnumDisplayDevices(1, &d));  // another target: counted, not failed
  EXPECT_FALSE(EnumDisplayDevices(0, &d));
  EXPECT_EQ(GetLastError(), 31u);
  EXPECT_TRUE(EnumDisplayDevices(0, &d));
  EXPECT_EQ(callCount("display.EnumDisplayDevices"), 4u);
}

TEST_F(SimDisplayTest, WindowsAndProcesses) {
  sim::AddProcess(4242, L"C:\\Program Files\\Office\\POWERPNT.EXE");
  Window w = sim::AddWindow({L"Deck - PowerPoint", L"PPTFrameClass", 4242, kStyleMinimizeBox});
  Window orphan = sim::AddWindow({L"", L"Plain", 999, 0});
  EXPECT_EQ(EnumWindows(), (std::vector<Window>{w, orphan}));
  EXPECT_EQ(GetWindowThreadProcessId(w), 4242u);
  EXPECT_EQ(GetWindowStyle(w), kStyleMinimizeBox);
  wchar_t cls[17];
  EXPECT_EQ(GetClassName(w, cls, 17), 13);
  EXPECT_EQ(GetWindowTextLength(orphan), 0);

  ProcessHandle p = OpenProcess(4242);
  ASSERT_NE(p, 0u);
  EXPECT_EQ(sim::OpenProcessHandles(), 1);
  wchar_t small[8];
  uint32_t size = 8;
  EXPECT_FALSE(QueryFullProcessImageName(p, small, &size));
  EXPECT_EQ(GetLastError(), kErrorInsufficientBuffer);
  wchar_t path[260];
  size = 260;
  ASSERT_TRUE(QueryFullProcessImageName(p, path, &size));
  EXPECT_EQ(std::wstring(path, size), L"C:\\Program Files\\Office\\POWERPNT.EXE");
  CloseProcessHandle(p);
  EXPECT_EQ(OpenProcess(999), 0u);  // the window's owner is not in the process table

  sim::RemoveWindow(w);
  EXPECT_EQ(GetWindowThreadProcessId(w), 0u);
  EXPECT_EQ(GetClassName(w, cls, 17), 0);
}

TEST_F(SimDisplayTest, ClosingAHandleTwiceIsAViolation) {
  sim::AddProcess(7, L"/bin/seven");
  ProcessHandle p = OpenProcess(7);
  CloseProcessHandle(p);
  CloseProcessHandle(p);
  EXPECT_EQ(violations().size(), 1u);
  clearViolations();
}

}  // namespace
}  // namespace platform::display
