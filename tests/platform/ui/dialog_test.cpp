// The headless dialog layer: where a dialog is centred, its size for the DPI,
// and what a click does to a check box.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/display/display.h"
#include "platform/display/sim_display.h"
#include "platform/ui/dialog.h"
#include "platform/ui/dialog_fixture.h"
#include "support/test_support.h"

namespace platform::ui {
namespace {

TEST_F(Dialogs, CentredOnItsMonitorOrOverItsOwnerInsideTheWorkArea) {
  display::sim::SetDevices({display::sim::MakeDevice(0, display::Rect{0, 0, 1920, 1080}, true),
                            display::sim::MakeDevice(1, display::Rect{1920, 0, 3200, 1024})});
  TestDialog owner("a.xml", "");
  ASSERT_NE(owner.Create(nullptr, "owner", 0, 0, {2000, 100, 2000, 100}), nullptr);
  owner.CenterWindow();  // on the second monitor, where it was made
  Rect r{};
  ASSERT_TRUE(GetWindowRect(owner.GetHWND(), r));
  EXPECT_EQ(r.left, 1920 + (1280 - 300) / 2);
  EXPECT_EQ(r.top, (1024 - 100) / 2);

  TestDialog owned("b.xml", "");
  ASSERT_NE(owned.Create(owner.GetHWND(), "owned", 0, 0, {0, 0, 0, 0}), nullptr);
  owned.CenterWindow();  // over its owner
  ASSERT_TRUE(GetWindowRect(owned.GetHWND(), r));
  EXPECT_EQ(r.left, 1920 + (1280 - 300) / 2 + 50);
  EXPECT_EQ(r.top, (1024 - 100) / 2 + 10);

  // An owner near the edge: the window stays inside the work area.
  SetWindowPos(owner.GetHWND(), {3100, 980, 3400, 1080});
  owned.CenterWindow();
  ASSERT_TRUE(GetWindowRect(owned.GetHWND(), r));
  EXPECT_EQ(r.right, 3200);
  EXPECT_EQ(r.bottom, 1024);
}

// The DPI scales the skin's size: by the display's DPI (mode 0, 96 is 100%)
// or by the percentage given.
TEST_F(Dialogs, SkinSizeScaledForTheDpi) {
  display::sim::SetDpi(144);
  TestDialog byDisplay("a.xml", "");
  ASSERT_NE(byDisplay.Create(nullptr, "dpi", 0, 0, {10, 20, 10, 20}), nullptr);
  Rect r{};
  ASSERT_TRUE(GetWindowRect(byDisplay.GetHWND(), r));
  EXPECT_EQ(r.right - r.left, 450);
  EXPECT_EQ(r.bottom - r.top, 150);
  EXPECT_FALSE(byDisplay.IsVisible()) << "made without WS_VISIBLE";
  TestDialog byPercent("b.xml", "");
  byPercent.SetDPI(125);
  ASSERT_NE(byPercent.Create(nullptr, "dpi", WS_VISIBLE, 0, {0, 0, 0, 0}), nullptr);
  EXPECT_TRUE(byPercent.IsVisible());
  EXPECT_EQ(byPercent.InitWidth(), 250);
  EXPECT_EQ(byPercent.InitHeight(), 100);
}

// A click turns a check box over (what its owner reads when it hears of the
// click); a hidden or disabled one stays as it is.
TEST_F(Dialogs, ClickTurnsACheckBoxOver) {
  qel::test::writeFile(skins.file("default/c.xml"),
                       "<Window size=\"200,80\"><CheckBox name=\"AUTO\"/><Button name=\"OK\"/>"
                       "<CheckBox name=\"OFF\" enabled=\"false\"/>"
                       "<HorizontalLayout name=\"HIDDEN\" visible=\"false\"><CheckBox name=\"INSIDE\"/>"
                       "</HorizontalLayout></Window>");
  TestDialog dialog("c.xml", "");
  ASSERT_NE(dialog.Create(nullptr, "checks", 0, 0, {0, 0, 0, 0}), nullptr);
  const struct {
    const char* control;
    std::vector<bool> after;  // selected after each of two clicks
  } cases[] = {
      {"AUTO", {true, false}},
      {"OK", {false, false}},  // a button is no check box
      {"OFF", {false, false}},
      {"INSIDE", {false, false}},
  };
  for (const auto& c : cases) {
    std::vector<bool> seen;
    for (int i = 0; i < 2; ++i) {
      dialog.Click(c.control);
      seen.push_back(dialog.FindControl(c.control)->selected);
    }
    EXPECT_EQ(seen, c.after) << c.control;
  }
  EXPECT_EQ(dialog.clicks, (std::vector<std::string>{"AUTO", "AUTO", "OK", "OK"}));
  // The dialog's own messages are delivered before it goes.
  dialog.Close(0);
  EXPECT_EQ(dialog.ShowModal(), 0);
}

}  // namespace
}  // namespace platform::ui
