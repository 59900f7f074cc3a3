// The monitors the window system walks: the active display devices that have
// a mode, in device order; a walk that stops asks the display layer no further.
#include <gtest/gtest.h>

#include <vector>

#include "platform/core/backing.h"
#include "platform/core/faults.h"
#include "platform/display/display.h"
#include "platform/display/sim_display.h"
#include "platform/ui/active_monitors.h"

namespace platform::ui {
namespace {

namespace sim = display::sim;

std::vector<int> corners(const Rect& r) { return {r.left, r.top, r.right, r.bottom}; }

class ActiveMonitors : public ::testing::Test {
 protected:
  void SetUp() override {
    display::SelectBacking(Backing::Simulated);
    sim::Device off = sim::MakeDevice(0, display::Rect{0, 0, 800, 600});
    off.active = false;
    sim::Device noMode = sim::MakeDevice(1, display::Rect{800, 0, 1600, 600});
    noMode.mode.reset();
    sim::SetDevices({off, noMode, sim::MakeDevice(2, display::Rect{-1280, 0, 0, 1024}),
                     sim::MakeDevice(3, display::Rect{1600, 0, 3520, 1080}, true)});
    resetFaults();
  }
  void TearDown() override {
    sim::Reset();
    resetFaults();
  }
};

TEST_F(ActiveMonitors, ActiveDevicesWithAModeInDeviceOrder) {
  std::vector<ActiveMonitor> seen;
  ForEachActiveMonitor([&](const ActiveMonitor& monitor) {
    seen.push_back(monitor);
    return true;
  });
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].index, 2u);
  EXPECT_EQ(corners(seen[0].rect), (std::vector<int>{-1280, 0, 0, 1024}));
  EXPECT_FALSE(seen[0].primary);
  EXPECT_EQ(seen[1].index, 3u);
  EXPECT_EQ(corners(seen[1].rect), (std::vector<int>{1600, 0, 3520, 1080}));
  EXPECT_TRUE(seen[1].primary);
}

TEST_F(ActiveMonitors, StoppedWalkAsksForNoFurtherDevice) {
  int visits = 0;
  ForEachActiveMonitor([&](const ActiveMonitor&) {
    ++visits;
    return false;
  });
  EXPECT_EQ(visits, 1);
  EXPECT_EQ(callCount("display.EnumDisplayDevices"), 3u);  // devices 0, 1 and 2
}

}  // namespace
}  // namespace platform::ui
