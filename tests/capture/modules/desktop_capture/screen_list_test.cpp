// The screen list over simulated display devices: ids are device indexes,
// rectangles follow the chosen device's key.
#include <gtest/gtest.h>

#include "capture/modules/desktop_capture/screen_list.h"
#include "platform/core/faults.h"
#include "platform/display/display.h"
#include "platform/display/sim_display.h"

namespace capture {
namespace {

namespace sim = platform::display::sim;
using Entry = DesktopCapturer::SourceEntry;

class ScreenListTest : public testing::Test {
 protected:
  void SetUp() override {
    platform::display::SelectBacking(platform::Backing::Simulated);
    sim::Reset();
    platform::resetFaults();
  }
};

TEST_F(ScreenListTest, InactiveFirstDeviceKeepsIdsAsIndexes) {
  auto off = sim::MakeDevice(0, {0, 0, 800, 600});
  off.active = false;
  sim::SetDevices({off, sim::MakeDevice(1, {0, 0, 1920, 1080}, true), sim::MakeDevice(2, {1920, 0, 3200, 1024})});
  std::vector<Entry> screens;
  std::vector<std::string> names;
  EXPECT_TRUE(ListActiveScreens(&screens, &names));
  EXPECT_EQ(screens, (std::vector<Entry>{{1, ""}, {2, ""}}));
  EXPECT_EQ(names, (std::vector<std::string>{"\\\\.\\DISPLAY2", "\\\\.\\DISPLAY3"}));

  // Choosing the second listed screen means id 2.
  std::wstring key;
  ASSERT_TRUE(LookUpScreenDeviceKey(screens[1].id, &key));
  EXPECT_EQ(ScreenRectById(screens[1].id, key), (DesktopRect{1920, 0, 3200, 1024}));
  EXPECT_EQ(VirtualScreenRect(), (DesktopRect{0, 0, 3200, 1080}));
}

TEST_F(ScreenListTest, NoActiveDeviceGivesAnEmptyListAndTrue) {
  auto a = sim::MakeDevice(0, {0, 0, 800, 600});
  a.active = false;
  sim::SetDevices({a});
  std::vector<Entry> screens{{9, "kept"}};
  EXPECT_TRUE(ListActiveScreens(&screens));
  EXPECT_EQ(screens, (std::vector<Entry>{{9, "kept"}}));  // appends only
  sim::SetDevices({});
  EXPECT_TRUE(ListActiveScreens(&screens));
  EXPECT_EQ(screens.size(), 1u);
}

TEST_F(ScreenListTest, RectangleIsEmptyWhenTheDeviceChangedOrVanished) {
  sim::SetDevices({sim::MakeDevice(0, {0, 0, 1920, 1080}, true), sim::MakeDevice(1, {-1280, 0, 0, 1024})});
  std::wstring key;
  ASSERT_TRUE(LookUpScreenDeviceKey(1, &key));
  EXPECT_EQ(ScreenRectById(1, key), (DesktopRect{-1280, 0, 0, 1024}));

  auto replaced = sim::MakeDevice(1, {-1280, 0, 0, 1024});
  replaced.key = L"another monitor";
  sim::UpdateDevice(1, replaced);
  EXPECT_EQ(ScreenRectById(1, key), (DesktopRect{}));

  EXPECT_EQ(ScreenRectById(2, key), (DesktopRect{}));
  EXPECT_FALSE(LookUpScreenDeviceKey(2, &key));

  auto modeless = sim::MakeDevice(0, {});
  modeless.mode.reset();
  sim::UpdateDevice(0, modeless);
  ASSERT_TRUE(LookUpScreenDeviceKey(0, &key));
  EXPECT_EQ(ScreenRectById(0, key), (DesktopRect{}));
}

TEST_F(ScreenListTest, WholeVirtualScreenHasTheEmptyKey) {
  sim::SetDevices({sim::MakeDevice(0, {0, 0, 1920, 1080}, true), sim::MakeDevice(1, {-1280, -200, 0, 824})});
  std::wstring key = L"stale";
  EXPECT_TRUE(LookUpScreenDeviceKey(-1, &key));
  EXPECT_TRUE(key.empty());
  EXPECT_EQ(ScreenRectById(-1, L"anything"), (DesktopRect{-1280, -200, 1920, 1080}));
  EXPECT_FALSE(LookUpScreenDeviceKey(-2, &key));
}

TEST_F(ScreenListTest, ChosenScreenKeepsItsChoiceAndItsDevice) {
  sim::SetDevices({sim::MakeDevice(0, {0, 0, 1920, 1080}, true), sim::MakeDevice(1, {-1280, 0, 0, 1024})});
  ChosenScreen chosen;
  EXPECT_EQ(chosen.Rect(), (DesktopRect{-1280, 0, 1920, 1080}));  // the virtual screen until told otherwise
  ASSERT_TRUE(chosen.Choose(1));
  EXPECT_EQ(chosen.Rect(), (DesktopRect{-1280, 0, 0, 1024}));
  EXPECT_FALSE(chosen.Choose(5));  // no such device: the choice stays
  EXPECT_EQ(chosen.Rect(), (DesktopRect{-1280, 0, 0, 1024}));

  auto replaced = sim::MakeDevice(1, {-1280, 0, 0, 1024});
  replaced.key = L"another monitor";
  sim::UpdateDevice(1, replaced);
  EXPECT_EQ(chosen.Rect(), (DesktopRect{}));
  ASSERT_TRUE(chosen.Choose(-1));
  EXPECT_EQ(chosen.Rect(), (DesktopRect{-1280, 0, 1920, 1080}));
}

TEST_F(ScreenListTest, WideToUtf8) {
  EXPECT_EQ(WideToUtf8(L""), "");
  EXPECT_EQ(WideToUtf8(L"\\\\.\\DISPLAY1"), "\\\\.\\DISPLAY1");
  EXPECT_EQ(WideToUtf8(L"Bildschirm \u00e4\u20ac"), "Bildschirm \xc3\xa4\xe2\x82\xac");
}

}  // namespace
}  // namespace capture
