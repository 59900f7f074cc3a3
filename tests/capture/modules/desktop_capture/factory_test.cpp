// The capturer factory's option table, the magnifier capturer, and a soak of
// the recorder's stack under random faults and scene changes.
#include <gtest/gtest.h>

#include <random>

#include "capture/modules/desktop_capture/blank_frame_guard.h"
#include "capture/modules/desktop_capture/capturer_factory.h"
#include "capture/modules/desktop_capture/changed_region_capturer.h"
#include "capture/modules/desktop_capture/primary_with_backup_capturer.h"
#include "capture/modules/desktop_capture/win/screen_capturer_win_directx.h"
#include "capture/modules/desktop_capture/win/screen_capturer_win_gdi.h"
#include "capture/modules/desktop_capture/win/screen_capturer_win_magnifier.h"
#include "platform/core/modules.h"
#include "platform/display/duplication.h"
#include "platform/display/magnification.h"
#include "platform/ui/window.h"
#include "capture/modules/desktop_capture/sim_capture_fixture.h"

namespace capture {
namespace {

using test::Collector;
using test::SimCaptureTest;
namespace display = platform::display;
namespace sim = platform::display::sim;

class FactoryTest : public SimCaptureTest {};

template <typename T>
T* As(DesktopCapturer* c) {
  return dynamic_cast<T*>(c);
}

TEST_F(FactoryTest, OptionTable) {
  {
    auto c = DesktopCapturer::MakeScreenCapturer(CapturerOptions::MakeDefault());
    EXPECT_NE(As<ScreenCapturerWinGdi>(c.get()), nullptr);  // GDI itself, no wrapper
  }
  {
    CapturerOptions o = CapturerOptions::MakeDefault();
    o.dxgi_allowed_ = true;
    auto c = DesktopCapturer::MakeScreenCapturer(o);
    auto* stack = As<PrimaryWithBackupCapturer>(c.get());
    ASSERT_NE(stack, nullptr);
    auto* guard = As<BlankFrameGuard>(stack->primary());
    ASSERT_NE(guard, nullptr);
    EXPECT_NE(As<ScreenCapturerWinDirectx>(guard->wrapped()), nullptr);
    EXPECT_NE(As<ScreenCapturerWinGdi>(stack->backup()), nullptr);
  }
  {
    // Duplication unsupported here: GDI alone.
    platform::fail("dxgi.EnumAdapters", {.times = platform::kForever, .code = display::dxgi::kNotFound});
    CapturerOptions o = CapturerOptions::MakeDefault();
    o.dxgi_allowed_ = true;
    auto c = DesktopCapturer::MakeScreenCapturer(o);
    EXPECT_NE(As<ScreenCapturerWinGdi>(c.get()), nullptr);
    platform::resetFaults();
  }
  {
    CapturerOptions o = CapturerOptions::MakeDefault();
    o.dxgi_allowed_ = true;
    o.magnifier_allowed_ = true;
    o.find_changed_region_ = true;
    auto c = DesktopCapturer::MakeScreenCapturer(o);
    auto* changed = As<ChangedRegionCapturer>(c.get());
    ASSERT_NE(changed, nullptr);
    auto* outer = As<PrimaryWithBackupCapturer>(changed->wrapped());
    ASSERT_NE(outer, nullptr);
    EXPECT_NE(As<ScreenCapturerWinMagnification>(outer->primary()), nullptr);
    auto* inner = As<PrimaryWithBackupCapturer>(outer->backup());
    ASSERT_NE(inner, nullptr);
    EXPECT_NE(As<BlankFrameGuard>(inner->primary()), nullptr);
    EXPECT_NE(As<ScreenCapturerWinGdi>(inner->backup()), nullptr);
  }
  EXPECT_EQ(sim::LiveDuplicationObjects(), 0);  // the support question leaves nothing behind
}

TEST_F(FactoryTest, RecorderStackCapturesThroughDxgiAndFallsBackToGdi) {
  sim::SetDevices({sim::MakeDevice(0, {0, 0, 96, 64}, true), sim::MakeDevice(1, {96, 0, 160, 48})});
  test::PaintScene(4);
  CapturerOptions o = CapturerOptions::MakeDefault();
  o.dxgi_allowed_ = true;
  Collector out;
  {
    auto c = DesktopCapturer::MakeScreenCapturer(o);
    ASSERT_TRUE(c->ChooseSource(1));
    c->BeginCapture(&out);
    c->CaptureFrame();
    ASSERT_EQ(out.lastResult(), CaptureResult::Success);
    EXPECT_EQ(out.last->capturerId(), kCapturerIdDxgi);
    EXPECT_TRUE(test::ShowsScreen(*out.last, 96, 0));
    // The device vanishes from the duplication side: a permanent DXGI error,
    // GDI captures that frame and every later one.
    auto d = sim::Devices()[1];
    d.outputSlot = -1;
    sim::UpdateDevice(1, d);
    auto moved = sim::Devices()[0];
    moved.mode = display::Rect{0, 0, 96, 60};  // the virtual screen changes: the hub re-initializes
    sim::UpdateDevice(0, moved);
    c->CaptureFrame();
    ASSERT_EQ(out.lastResult(), CaptureResult::Success);
    EXPECT_EQ(out.last->capturerId(), kCapturerIdGdi);
    uint64_t acquires = platform::callCount("dxgi.AcquireNextFrame");
    c->CaptureFrame();
    EXPECT_EQ(out.last->capturerId(), kCapturerIdGdi);
    EXPECT_EQ(platform::callCount("dxgi.AcquireNextFrame"), acquires);
  }
  out.last.reset();
}

class MagnifierTest : public SimCaptureTest {
 protected:
  void TearDown() override {
    EXPECT_EQ(sim::MagnifierInitializations(), 0);
    EXPECT_EQ(platform::ui::LiveWindowCount(), 0);
    SimCaptureTest::TearDown();
  }
};

TEST_F(MagnifierTest, CapturesTheOneScreenAndRefusesBadImages) {
  sim::SetDevices({sim::MakeDevice(0, {0, 0, 120, 80}, true)});
  test::PaintScene(12);
  Collector out;
  {
    ScreenCapturerWinMagnification magnifier;
    magnifier.ExcludeWindow(0x1234);  // remembered until the magnifier comes up
    magnifier.BeginCapture(&out);
    ASSERT_TRUE(magnifier.initialized());
    EXPECT_EQ(platform::callCount("mag.MagSetWindowFilterList"), 1u);  // applied when the magnifier came up
    magnifier.ExcludeWindow(0x5678);
    EXPECT_EQ(platform::callCount("mag.MagSetWindowFilterList"), 2u);
    magnifier.CaptureFrame();
    ASSERT_EQ(out.lastResult(), CaptureResult::Success);
    EXPECT_TRUE(test::ShowsScreen(*out.last, 0, 0));
    EXPECT_EQ(out.last->dpi(), (DesktopPoint{96, 96}));
    EXPECT_TRUE(out.last->updatedRegion().Equals(ScreenRegion(DesktopRect{0, 0, 120, 80})));

    for (sim::MagnifierKnobs knobs : {sim::MagnifierKnobs{.bytesPerPixel = 3}, sim::MagnifierKnobs{.wrongFormat = true},
                                      sim::MagnifierKnobs{.zeroSizedHeader = true}}) {
      sim::SetMagnifierKnobs(knobs);
      magnifier.CaptureFrame();
      EXPECT_EQ(out.lastResult(), CaptureResult::PermanentError);
    }
    sim::SetMagnifierKnobs({});
    magnifier.CaptureFrame();
    EXPECT_EQ(out.lastResult(), CaptureResult::Success);

    // A desktop switch: the screen context is taken again and the DPI stays right.
    sim::SetDpi(144);
    sim::SetInputDesktop(L"Winlogon");
    magnifier.CaptureFrame();
    ASSERT_EQ(out.lastResult(), CaptureResult::Success);
    EXPECT_EQ(out.last->dpi(), (DesktopPoint{144, 144}));

    // A screen whose key changed has an empty rectangle: a failed frame, no division by zero.
    auto d = sim::Devices()[0];
    ASSERT_TRUE(magnifier.ChooseSource(0));
    d.key = L"another";
    sim::UpdateDevice(0, d);
    magnifier.CaptureFrame();
    EXPECT_EQ(out.lastResult(), CaptureResult::PermanentError);
  }
  out.last.reset();
  sim::SetInputDesktop(L"Default");
}

TEST_F(MagnifierTest, TwoMonitorsOrAMissingModuleLeaveItUninitialized) {
  Collector out;
  sim::SetDevices({sim::MakeDevice(0, {0, 0, 64, 48}, true), sim::MakeDevice(1, {64, 0, 128, 48})});
  {
    ScreenCapturerWinMagnification magnifier;
    magnifier.BeginCapture(&out);
    EXPECT_FALSE(magnifier.initialized());
    magnifier.CaptureFrame();
    EXPECT_EQ(out.lastResult(), CaptureResult::PermanentError);
  }
  sim::SetDevices({sim::MakeDevice(0, {0, 0, 64, 48}, true)});
  platform::SetModuleEntryHidden("Magnification.dll", "MagSetWindowFilterList", true);
  {
    ScreenCapturerWinMagnification magnifier;
    magnifier.BeginCapture(&out);
    EXPECT_FALSE(magnifier.initialized());
  }
  platform::ShowAllModules();
  platform::fail("mag.MagSetImageScalingCallback", {});
  {
    ScreenCapturerWinMagnification magnifier;
    magnifier.BeginCapture(&out);
    EXPECT_FALSE(magnifier.initialized());  // MagUninitialize undid the initialization
  }
}

DesktopRect ModeOf(int64_t id) {
  auto mode = *sim::Devices()[static_cast<size_t>(id)].mode;
  return DesktopRect{mode.left, mode.top, mode.right, mode.bottom};
}

// 500 frames through the recorder's stack (DXGI behind the blank-frame guard,
// GDI as backup) with seeded random faults and scene changes: every frame
// delivered shows the simulated screen as it was at that capture, except those
// served while the blank-image knob is on, and nothing is left alive.
TEST_F(FactoryTest, SoakOfTheRecorderStack) {
  sim::SetDevices({sim::MakeDevice(0, {0, 0, 80, 60}, true), sim::MakeDevice(1, {-48, 10, 0, 74})});
  auto d1 = sim::Devices()[1];
  d1.rotation = 1;
  d1.imageInSystemMemory = true;
  d1.outputSlot = 1;
  sim::UpdateDevice(1, d1);
  test::PaintScene(100);
  std::mt19937 rng(2024);
  const char* faultCalls[] = {
      "dxgi.AcquireNextFrame",   "dxgi.Map",       "dxgi.GetFrameDirtyRects", "dxgi.ReleaseFrame",
      "dxgi.DuplicateOutput",    "display.BitBlt", "dxgi.QueryTexture",       "dxgi.CreateTexture2D",
      "dxgi.UnMapDesktopSurface"};
  const uint32_t codes[] = {display::dxgi::kAccessLost, display::dxgi::kFail, display::dxgi::kInvalidCall};
  int successes = 0, compared = 0;
  Collector out;
  {
    CapturerOptions o = CapturerOptions::MakeDefault();
    o.dxgi_allowed_ = true;
    auto stack = DesktopCapturer::MakeScreenCapturer(o);
    ASSERT_TRUE(stack);
    stack->BeginCapture(&out);
    bool blank = false;
    int64_t chosen = -1;
    for (int i = 0; i < 500; ++i) {
      int action = int(rng() % 10);
      if (action < 4) {
        size_t device = rng() % 2;
        int x = int(rng() % 60), y = int(rng() % 50);
        sim::Fill(device, {x, y, x + 1 + int(rng() % 20), y + 1 + int(rng() % 20)}, 0xFF000000u | (rng() & 0xFFFFFF));
      } else if (action == 4) {
        sim::Move(rng() % 2, {0, 0, 10, 10}, int(rng() % 30), int(rng() % 30));
      } else if (action == 5) {
        platform::fail(faultCalls[rng() % std::size(faultCalls)],
                       {.from_call = int64_t(rng() % 3), .times = 1 + int64_t(rng() % 2), .code = codes[rng() % 3]});
      } else if (action == 6 && rng() % 8 == 0) {
        blank = !blank;
        sim::SetDuplicationKnobs({.blankImages = blank});
      } else if (action == 7 && rng() % 10 == 0) {
        int64_t id = int64_t(rng() % 3) - 1;  // whole screen, or one of the two
        if (stack->ChooseSource(id)) chosen = id;
      }
      stack->CaptureFrame();
      if (out.lastResult() != CaptureResult::Success) continue;
      ++successes;
      if (blank && out.last->capturerId() == kCapturerIdDxgi) continue;
      ++compared;
      // Where the frame's picture starts on the virtual screen: the chosen
      // screen's corner, else the virtual screen's. A DXGI desktop covers only
      // the outputs it could duplicate (an injected DuplicateOutput failure
      // leaves one out), so its frame may be one monitor's size.
      DesktopRect origin = chosen >= 0 ? ModeOf(chosen) : VirtualScreenRect();
      if (chosen < 0 && !(out.last->size() == origin.size())) {
        for (int64_t id : {0, 1})
          if (out.last->size() == ModeOf(id).size()) origin = ModeOf(id);
      }
      ASSERT_TRUE(test::ShowsScreen(*out.last, origin.left, origin.top))
          << "frame " << i << " from " << std::hex << out.last->capturerId() << std::dec << ", source " << chosen;
    }
    sim::SetDuplicationKnobs({});
  }
  out.last.reset();
  EXPECT_GT(successes, 350);
  EXPECT_GT(compared, 100);
  platform::resetFaults();
}

}  // namespace
}  // namespace capture
