// The GDI capturer on the simulated display: frames of the whole virtual screen
// and of one screen, the ring, resolution changes, desktop switches,
// composition and injected failures.
#include <gtest/gtest.h>

#include "capture/modules/desktop_capture/capturer_options.h"
#include "capture/modules/desktop_capture/screen_list.h"
#include "capture/modules/desktop_capture/win/screen_capturer_win_gdi.h"
#include "platform/core/modules.h"
#include "platform/display/gdi.h"
#include "capture/modules/desktop_capture/sim_capture_fixture.h"

namespace capture {
namespace {

using test::Collector;
using test::SimCaptureTest;
namespace display = platform::display;
namespace sim = platform::display::sim;

class GdiCapturerTest : public SimCaptureTest {};

TEST_F(GdiCapturerTest, WholeVirtualScreenWithNegativeOriginStartsAtZero) {
  sim::SetDevices({sim::MakeDevice(0, {0, 0, 320, 200}, true), sim::MakeDevice(1, {-160, -40, 0, 100})});
  sim::SetDpi(120);
  test::PaintScene(1);
  Collector out;
  {
    ScreenCapturerWinGdi capturer(CapturerOptions::MakeDefault());
    capturer.BeginCapture(&out);
    capturer.CaptureFrame();
    ASSERT_EQ(out.lastResult(), CaptureResult::Success);
    const DesktopFrame& f = *out.last;
    EXPECT_EQ(f.size(), (DesktopExtent{480, 240}));
    EXPECT_EQ(f.topLeft(), (DesktopPoint{0, 0}));
    EXPECT_EQ(f.stride(), 480 * 4);
    EXPECT_EQ(f.dpi(), (DesktopPoint{120, 120}));
    EXPECT_EQ(f.capturerId(), kCapturerIdGdi);
    EXPECT_TRUE(f.updatedRegion().Equals(ScreenRegion(DesktopRect{0, 0, 480, 240})));
    EXPECT_TRUE(test::ShowsScreen(f, -160, -40));

    // The left screen alone: its top-left relative to the virtual screen's origin.
    std::vector<DesktopCapturer::SourceEntry> screens;
    ASSERT_TRUE(capturer.ListSources(&screens));
    ASSERT_EQ(screens.size(), 2u);
    ASSERT_TRUE(capturer.ChooseSource(1));
    capturer.CaptureFrame();
    ASSERT_EQ(out.lastResult(), CaptureResult::Success);
    EXPECT_EQ(out.last->size(), (DesktopExtent{160, 140}));
    EXPECT_EQ(out.last->topLeft(), (DesktopPoint{0, 0}));
    EXPECT_TRUE(test::ShowsScreen(*out.last, -160, -40));
    ASSERT_TRUE(capturer.ChooseSource(0));
    capturer.CaptureFrame();
    EXPECT_EQ(out.last->topLeft(), (DesktopPoint{160, 40}));
    EXPECT_TRUE(test::ShowsScreen(*out.last, 0, 0));
    EXPECT_FALSE(capturer.ChooseSource(5));
    capturer.CaptureFrame();
    EXPECT_EQ(out.last->size(), (DesktopExtent{320, 200}));  // the previous choice stays
  }
  out.last.reset();
}

TEST_F(GdiCapturerTest, CaptureBeforeBeginDoesNothing) {
  ScreenCapturerWinGdi gdi(CapturerOptions::MakeDefault());
  gdi.CaptureFrame();
  EXPECT_EQ(platform::callCount("display.BitBlt"), 0u);
}

TEST_F(GdiCapturerTest, RingAlternatesBetweenTwoSections) {
  Collector out;
  ScreenCapturerWinGdi capturer(CapturerOptions::MakeDefault());
  capturer.BeginCapture(&out);
  std::vector<const uint8_t*> data;
  for (int i = 0; i < 3; ++i) {
    capturer.CaptureFrame();
    ASSERT_EQ(out.lastResult(), CaptureResult::Success);
    data.push_back(out.last->data());
  }
  EXPECT_NE(data[0], data[1]);
  EXPECT_EQ(data[0], data[2]);
  out.last.reset();
}

TEST_F(GdiCapturerTest, ResolutionChangeRemakesContextsAndFrame) {
  Collector out;
  ScreenCapturerWinGdi capturer(CapturerOptions::MakeDefault());
  capturer.BeginCapture(&out);
  ASSERT_TRUE(capturer.ChooseSource(0));
  capturer.CaptureFrame();
  uint64_t contexts = platform::callCount("display.CreateCompatibleDC");
  EXPECT_EQ(contexts, 1u);
  auto d = sim::Devices()[0];
  d.mode = display::Rect{0, 0, 1280, 720};
  sim::UpdateDevice(0, d);
  test::PaintScene(5);
  capturer.CaptureFrame();
  ASSERT_EQ(out.lastResult(), CaptureResult::Success);
  EXPECT_EQ(platform::callCount("display.CreateCompatibleDC"), 2u);
  EXPECT_EQ(out.last->size(), (DesktopExtent{1280, 720}));
  EXPECT_TRUE(out.last->updatedRegion().Equals(ScreenRegion(DesktopRect{0, 0, 1280, 720})));
  EXPECT_TRUE(test::ShowsScreen(*out.last, 0, 0));
  out.last.reset();
}

TEST_F(GdiCapturerTest, ChangedDeviceKeyOrFailedCallsGiveTemporaryErrors) {
  sim::SetDevices({sim::MakeDevice(0, {0, 0, 64, 48}, true), sim::MakeDevice(1, {64, 0, 128, 48})});
  Collector out;
  ScreenCapturerWinGdi capturer(CapturerOptions::MakeDefault());
  capturer.BeginCapture(&out);
  ASSERT_TRUE(capturer.ChooseSource(1));
  capturer.CaptureFrame();
  capturer.CaptureFrame();  // both ring slots hold a frame now
  for (const char* call : {"display.BitBlt", "display.SelectObject"}) {
    SCOPED_TRACE(call);
    platform::fail(call, {});
    capturer.CaptureFrame();
    EXPECT_EQ(out.lastResult(), CaptureResult::TemporaryError);
    capturer.CaptureFrame();  // the next frame tries again from the start
    EXPECT_EQ(out.lastResult(), CaptureResult::Success);
  }
  {
    Collector fresh;
    ScreenCapturerWinGdi other(CapturerOptions::MakeDefault());
    other.BeginCapture(&fresh);
    platform::fail("display.CreateDIBSection", {});
    other.CaptureFrame();
    EXPECT_EQ(fresh.lastResult(), CaptureResult::TemporaryError);
    other.CaptureFrame();
    other.CaptureFrame();
    EXPECT_EQ(fresh.lastResult(), CaptureResult::Success);
  }
  auto replaced = sim::Devices()[1];
  replaced.key = L"another";
  sim::UpdateDevice(1, replaced);
  capturer.CaptureFrame();
  EXPECT_EQ(out.lastResult(), CaptureResult::TemporaryError);
  EXPECT_FALSE(out.last);
  out.last.reset();
}

TEST_F(GdiCapturerTest, FollowsTheInputDesktopAndRestoresTheThread) {
  display::Hdesk mine = display::GetThreadDesktop();
  Collector out;
  {
    ScreenCapturerWinGdi capturer(CapturerOptions::MakeDefault());
    capturer.BeginCapture(&out);
    capturer.CaptureFrame();
    ASSERT_EQ(out.lastResult(), CaptureResult::Success);
    int calls = sim::CompositionCalls();

    sim::SetInputDesktop(L"Winlogon");
    capturer.CaptureFrame();  // switches this thread to the secure desktop and captures there
    ASSERT_EQ(out.lastResult(), CaptureResult::Success);
    EXPECT_EQ(sim::CompositionCalls(), calls + 1);  // composition off again after the switch
    EXPECT_FALSE(sim::CompositionEnabled());

    sim::SetInputDesktop(L"Default");
    capturer.CaptureFrame();
    ASSERT_EQ(out.lastResult(), CaptureResult::Success);

    // A desktop whose name cannot be read counts as another desktop: the
    // capturer switches and goes on.
    platform::fail("display.GetUserObjectInformation", {.times = 1});
    capturer.CaptureFrame();
    EXPECT_EQ(out.lastResult(), CaptureResult::Success);
  }
  EXPECT_TRUE(sim::CompositionEnabled());  // back on with the capturer gone
  // The thread is back on its own desktop: a plain BitBlt works.
  wchar_t name[32];
  uint32_t needed = 0;
  ASSERT_TRUE(display::GetUserObjectName(display::GetThreadDesktop(), name, sizeof name, &needed));
  EXPECT_EQ(std::wstring(name), L"Default");
  (void)mine;
  out.last.reset();
}

TEST_F(GdiCapturerTest, WithoutDesktopEffectsOffCompositionIsUntouched) {
  CapturerOptions options = CapturerOptions::MakeDefault();
  options.desktop_effects_off_ = false;
  Collector out;
  int modules = platform::LoadedModuleCount();
  {
    ScreenCapturerWinGdi capturer(options);
    EXPECT_EQ(platform::LoadedModuleCount(), modules);  // "dwmapi.dll" is never loaded
    capturer.BeginCapture(&out);
    capturer.CaptureFrame();
    sim::SetInputDesktop(L"Winlogon");
    capturer.CaptureFrame();
  }
  EXPECT_EQ(sim::CompositionCalls(), 0);
  out.last.reset();
}

TEST_F(GdiCapturerTest, MissingCompositionModuleLeavesCompositionAlone) {
  Collector out;
  int modules = platform::LoadedModuleCount();
  for (bool hideEntry : {false, true}) {
    if (hideEntry) {
      platform::SetModuleEntryHidden("dwmapi.dll", "DwmEnableComposition", true);
    } else {
      platform::SetPseudoModuleHidden("dwmapi.dll", true);
    }
    {
      ScreenCapturerWinGdi capturer(CapturerOptions::MakeDefault());
      capturer.BeginCapture(&out);
      capturer.CaptureFrame();
      EXPECT_EQ(out.lastResult(), CaptureResult::Success);
    }
    platform::ShowAllModules();
    EXPECT_EQ(sim::CompositionCalls(), 0);
    EXPECT_EQ(platform::LoadedModuleCount(), modules);
  }
  out.last.reset();
}

TEST_F(GdiCapturerTest, CaptureFailsOnAForeignDesktopWithoutSwitching) {
  // The thread cannot reach the input desktop: BitBlt fails, the frame is a
  // temporary error, never a crash.
  platform::fail("display.SetThreadDesktop", {.times = platform::kForever});
  sim::SetInputDesktop(L"Winlogon");
  Collector out;
  ScreenCapturerWinGdi capturer(CapturerOptions::MakeDefault());
  capturer.BeginCapture(&out);
  capturer.CaptureFrame();
  EXPECT_EQ(out.lastResult(), CaptureResult::TemporaryError);
}

TEST_F(GdiCapturerTest, FramesLiveInSharedBlocksWhenAFactoryIsGiven) {
  test::PaintScene(9);
  Collector out;
  auto factory = std::make_unique<test::SectionBlockFactory>();
  test::SectionBlockFactory* counting = factory.get();
  ScreenCapturerWinGdi capturer(CapturerOptions::MakeDefault());
  capturer.UseSharedMemoryFactory(std::move(factory));
  capturer.BeginCapture(&out);
  capturer.CaptureFrame();
  ASSERT_EQ(out.lastResult(), CaptureResult::Success);
  EXPECT_EQ(counting->made, 1);
  EXPECT_NE(out.last->sharedMemory(), nullptr);
  EXPECT_TRUE(test::ShowsScreen(*out.last, 0, 0));
  out.last.reset();
}

}  // namespace
}  // namespace capture
