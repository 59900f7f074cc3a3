// The DXGI capturer and duplication hub on the simulated duplication side:
// frames equal to the GDI capturer's across layouts, changed regions from move
// and dirty metadata, mapped and staged images, failures and re-initialization.
#include <gtest/gtest.h>

#include "capture/modules/desktop_capture/capturer_options.h"
#include "capture/modules/desktop_capture/win/duplication_hub.h"
#include "capture/modules/desktop_capture/win/screen_capturer_win_directx.h"
#include "capture/modules/desktop_capture/win/screen_capturer_win_gdi.h"
#include "platform/core/clock.h"
#include "platform/display/duplication.h"
#include "platform/display/gdi.h"
#include "capture/modules/desktop_capture/sim_capture_fixture.h"

namespace capture {
namespace {

using test::Collector;
using test::SimCaptureTest;
namespace display = platform::display;
namespace sim = platform::display::sim;
using display::Rect;

class DxgiCapturerTest : public SimCaptureTest {};

sim::Device Dev(int index, Rect mode, bool primary = false, int rotation = 0, bool mapped = false) {
  sim::Device d = sim::MakeDevice(index, mode, primary);
  d.rotation = rotation;
  d.imageInSystemMemory = mapped;
  d.outputSlot = index;
  return d;
}

struct Layout {
  const char* name;
  std::vector<sim::Device> devices;
};

std::vector<Layout> Layouts() {
  return {
      {"left monitor at negative x", {Dev(0, {0, 0, 96, 64}, true), Dev(1, {-80, 8, 0, 58})}},
      {"rotated 90", {Dev(0, {0, 0, 96, 64}, true), Dev(1, {96, 0, 136, 70}, false, 1)}},
      {"rotated 180", {Dev(0, {0, 0, 96, 64}, true), Dev(1, {0, 64, 70, 104}, false, 2)}},
      {"rotated 270", {Dev(0, {0, 0, 96, 64}, true, 3), Dev(1, {-41, -30, 0, 33})}},
      {"mixed: mapped, staged, rotated, second adapter",
       [] {
         auto a = Dev(0, {0, 0, 64, 48}, true, 0, true);
         auto b = Dev(1, {64, 0, 101, 71}, false, 1);
         auto c = Dev(2, {-50, 20, 0, 50}, false, 2, true);
         c.adapter = 1;
         c.outputSlot = 0;
         return std::vector<sim::Device>{a, b, c};
       }()},
  };
}

// Captures one frame of `capturer` (already begun with `out`).
const DesktopFrame& Capture(DesktopCapturer& capturer, Collector& out) {
  capturer.CaptureFrame();
  EXPECT_EQ(out.lastResult(), CaptureResult::Success);
  static HeapDesktopFrame empty({0, 0});
  return out.last ? *out.last : empty;
}

testing::AssertionResult SamePixels(const DesktopFrame& a, const DesktopFrame& b) {
  if (!(a.size() == b.size())) return testing::AssertionFailure() << "sizes differ";
  for (int y = 0; y < a.size().height; ++y)
    for (int x = 0; x < a.size().width; ++x)
      if (test::FramePixel(a, x, y) != test::FramePixel(b, x, y))
        return testing::AssertionFailure() << "pixel " << x << "," << y << " differs";
  return testing::AssertionSuccess();
}

TEST_F(DxgiCapturerTest, GdiAndDxgiFramesOfOneSceneAreEqualAcrossLayouts) {
  for (const Layout& layout : Layouts()) {
    SCOPED_TRACE(layout.name);
    sim::SetDevices(layout.devices);
    test::PaintScene(42);
    Collector gdiOut, dxgiOut;
    {
      ScreenCapturerWinGdi gdi(CapturerOptions::MakeDefault());
      ScreenCapturerWinDirectx dxgi;
      gdi.BeginCapture(&gdiOut);
      dxgi.BeginCapture(&dxgiOut);
      DesktopRect screen = VirtualScreenRect();
      for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        const DesktopFrame& g = Capture(gdi, gdiOut);
        const DesktopFrame& d = Capture(dxgi, dxgiOut);
        ASSERT_TRUE(SamePixels(g, d));
        ASSERT_TRUE(test::ShowsScreen(d, screen.left, screen.top));
        EXPECT_EQ(d.capturerId(), kCapturerIdDxgi);
        // Changes between frames: fills and a move on every device.
        for (size_t i = 0; i < layout.devices.size(); ++i) {
          sim::Fill(i, {round * 3, 2, round * 3 + 9, 12}, 0xFF102030u + round);
          sim::Move(i, {0, 0, 10, 6}, 5 + round, 7);
        }
      }
      // Each screen alone.
      std::vector<DesktopCapturer::SourceEntry> screens;
      ASSERT_TRUE(dxgi.ListSources(&screens));
      ASSERT_EQ(screens.size(), layout.devices.size());
      for (const auto& entry : screens) {
        SCOPED_TRACE(entry.id);
        ASSERT_TRUE(gdi.ChooseSource(entry.id));
        ASSERT_TRUE(dxgi.ChooseSource(entry.id));
        const DesktopFrame& g = Capture(gdi, gdiOut);
        const DesktopFrame& d = Capture(dxgi, dxgiOut);
        ASSERT_TRUE(SamePixels(g, d));
        EXPECT_EQ(g.topLeft(), d.topLeft());
        sim::Fill(static_cast<size_t>(entry.id), {1, 1, 4, 4}, 0xFFABCDEFu);
        ASSERT_TRUE(SamePixels(Capture(gdi, gdiOut), Capture(dxgi, dxgiOut)));
      }
    }
    gdiOut.last.reset();
    dxgiOut.last.reset();
    EXPECT_EQ(sim::LiveDuplicationObjects(), 0);
  }
}

TEST_F(DxgiCapturerTest, UpdatedRegionFollowsMoveAndDirtyMetadata) {
  sim::SetDevices({Dev(0, {0, 0, 200, 160}, true), Dev(1, {200, 0, 254, 96}, false, 1)});
  Collector out;
  ScreenCapturerWinDirectx dxgi;
  dxgi.BeginCapture(&out);
  ASSERT_TRUE(dxgi.ChooseSource(0));
  EXPECT_TRUE(Capture(dxgi, out).updatedRegion().Equals(ScreenRegion(DesktopRect{0, 0, 200, 160})));
  Capture(dxgi, out);  // the other ring target catches up

  sim::Move(0, {0, 0, 100, 100}, 50, 50);
  ScreenRegion expected(DesktopRect{0, 0, 100, 100});
  expected.Include({50, 50, 150, 150});
  EXPECT_TRUE(Capture(dxgi, out).updatedRegion().Equals(expected));

  // Without changes the region settles to empty (each context saw the move once more).
  for (int k = 0; k < 4; ++k) Capture(dxgi, out);
  EXPECT_TRUE(out.last->updatedRegion().IsEmpty());
  sim::Move(0, {10, 10, 20, 20}, 10, 10);  // a move onto itself changes nothing
  EXPECT_TRUE(Capture(dxgi, out).updatedRegion().IsEmpty());
  EXPECT_TRUE(Capture(dxgi, out).updatedRegion().IsEmpty());

  sim::SetDuplicationKnobs({.noMetadata = true});
  sim::Fill(0, {1, 1, 2, 2}, 0xFF123456);
  Capture(dxgi, out);
  Capture(dxgi, out);
  EXPECT_TRUE(out.last->updatedRegion().Equals(ScreenRegion(DesktopRect{0, 0, 200, 160})));
  sim::SetDuplicationKnobs({});

  // A portrait monitor: the native image is landscape; changes come back upright.
  ASSERT_TRUE(dxgi.ChooseSource(1));
  Capture(dxgi, out);
  Capture(dxgi, out);
  sim::Fill(1, {44, 0, 54, 10}, 0xFF00FF00);
  EXPECT_TRUE(Capture(dxgi, out).updatedRegion().Equals(ScreenRegion(DesktopRect{44, 0, 54, 10})));
  EXPECT_TRUE(test::ShowsScreen(*out.last, 200, 0));
  out.last.reset();
}

TEST_F(DxgiCapturerTest, MappedAndStagedImagesAndStagingReuse) {
  sim::SetDevices({Dev(0, {0, 0, 64, 48}, true, 0, true), Dev(1, {64, 0, 128, 48})});
  Collector out;
  {
    ScreenCapturerWinDirectx dxgi;
    dxgi.BeginCapture(&out);
    for (int i = 0; i < 5; ++i) {
      sim::Fill(0, {i, i, i + 5, i + 5}, 0xFF0000FFu + i);
      sim::Fill(1, {i, i, i + 5, i + 5}, 0xFF00FF00u + i);
      ASSERT_TRUE(test::ShowsScreen(Capture(dxgi, out), 0, 0));
    }
  }
  // One staging texture for the staged output, reused frame after frame; the
  // mapped output never needs one.
  EXPECT_EQ(platform::callCount("dxgi.CreateTexture2D"), 1u);
  EXPECT_GE(platform::callCount("dxgi.MapDesktopSurface"), 5u);
  EXPECT_GE(platform::callCount("dxgi.Map"), 5u);
  out.last.reset();
}

TEST_F(DxgiCapturerTest, AccessLostIsTemporaryAndReinitializes) {
  sim::SetDevices({Dev(0, {0, 0, 64, 48}, true)});
  Collector out;
  ScreenCapturerWinDirectx dxgi;
  dxgi.BeginCapture(&out);
  Capture(dxgi, out);
  Capture(dxgi, out);
  platform::fail("dxgi.AcquireNextFrame", {.times = 1, .code = display::dxgi::kAccessLost});
  dxgi.CaptureFrame();
  EXPECT_EQ(out.lastResult(), CaptureResult::TemporaryError);
  uint64_t duplications = platform::callCount("dxgi.DuplicateOutput");
  const DesktopFrame& again = Capture(dxgi, out);
  EXPECT_EQ(platform::callCount("dxgi.DuplicateOutput"), duplications + 1);
  EXPECT_TRUE(again.updatedRegion().Equals(ScreenRegion(DesktopRect{0, 0, 64, 48})));
  EXPECT_TRUE(test::ShowsScreen(again, 0, 0));
  out.last.reset();
}

TEST_F(DxgiCapturerTest, ResolutionChangeReinitializesWithAWholeFrame) {
  sim::SetDevices({Dev(0, {0, 0, 64, 48}, true)});
  Collector out;
  ScreenCapturerWinDirectx dxgi;
  dxgi.BeginCapture(&out);
  Capture(dxgi, out);
  auto d = sim::Devices()[0];
  d.mode = Rect{0, 0, 80, 40};
  sim::UpdateDevice(0, d);
  test::PaintScene(3);
  const DesktopFrame& f = Capture(dxgi, out);
  EXPECT_EQ(f.size(), (DesktopExtent{80, 40}));
  EXPECT_TRUE(f.updatedRegion().Equals(ScreenRegion(DesktopRect{0, 0, 80, 40})));
  EXPECT_TRUE(test::ShowsScreen(f, 0, 0));
  out.last.reset();
}

TEST_F(DxgiCapturerTest, OutputIndexPastTheEndIsPermanent) {
  sim::SetDevices({Dev(0, {0, 0, 64, 48}, true), Dev(1, {64, 0, 128, 48})});
  Collector out;
  ScreenCapturerWinDirectx dxgi;
  dxgi.BeginCapture(&out);
  ASSERT_TRUE(dxgi.ChooseSource(1));
  Capture(dxgi, out);
  sim::SetDevices({Dev(0, {0, 0, 64, 48}, true)});
  dxgi.CaptureFrame();
  EXPECT_EQ(out.lastResult(), CaptureResult::PermanentError);
  EXPECT_FALSE(dxgi.ChooseSource(1));
  out.last.reset();
}

TEST_F(DxgiCapturerTest, ChosenMonitorIsFoundByNameAfterOutputsShift) {
  sim::SetDevices({Dev(0, {0, 0, 64, 48}, true), Dev(1, {64, 0, 128, 48})});
  test::PaintScene(31);
  Collector out;
  ScreenCapturerWinDirectx dxgi;
  dxgi.BeginCapture(&out);
  ASSERT_TRUE(dxgi.ChooseSource(1));
  EXPECT_TRUE(test::ShowsScreen(Capture(dxgi, out), 64, 0));
  // The first output fails to come up at the next initialization: the chosen
  // monitor is now the only (first) output, and still the one captured.
  platform::fail("dxgi.DuplicateOutput", {.target = 0, .times = platform::kForever, .code = display::dxgi::kFail});
  platform::fail("dxgi.AcquireNextFrame", {.times = 1, .code = display::dxgi::kAccessLost});
  dxgi.CaptureFrame();
  EXPECT_EQ(out.lastResult(), CaptureResult::TemporaryError);
  EXPECT_TRUE(test::ShowsScreen(Capture(dxgi, out), 64, 0));
  // With the chosen monitor gone from the outputs the error is permanent.
  platform::resetFaults();
  platform::fail("dxgi.DuplicateOutput", {.target = 1, .times = platform::kForever, .code = display::dxgi::kFail});
  platform::fail("dxgi.AcquireNextFrame", {.times = 1, .code = display::dxgi::kAccessLost});
  dxgi.CaptureFrame();
  dxgi.CaptureFrame();
  EXPECT_EQ(out.lastResult(), CaptureResult::PermanentError);
  out.last.reset();
}

TEST_F(DxgiCapturerTest, FailedInitializationIsTemporaryInAUserSession) {
  platform::fail("dxgi.EnumAdapters", {.times = platform::kForever, .code = display::dxgi::kFail});
  Collector out;
  ScreenCapturerWinDirectx dxgi;
  dxgi.BeginCapture(&out);
  dxgi.CaptureFrame();
  EXPECT_EQ(out.lastResult(), CaptureResult::TemporaryError);
  EXPECT_FALSE(DuplicationHub::Supported());
  platform::resetFaults();
  // An adapter whose every output fails: the walk ends, the frame is a temporary error.
  platform::fail("dxgi.EnumOutputs", {.times = platform::kForever, .code = display::dxgi::kFail});
  dxgi.CaptureFrame();
  EXPECT_EQ(out.lastResult(), CaptureResult::TemporaryError);
  platform::resetFaults();
  EXPECT_TRUE(DuplicationHub::Supported());
  Capture(dxgi, out);
  out.last.reset();
}

TEST_F(DxgiCapturerTest, FirstFrameWaitEndsAfter500MsOfFakeTime) {
  platform::ScopedFakeClock clock;
  platform::fakeclock::setStepPerRead(40'000'000);  // every reading moves 40 ms on
  sim::SetDuplicationKnobs({.neverDeliver = true});
  Collector out;
  ScreenCapturerWinDirectx dxgi;
  dxgi.BeginCapture(&out);
  dxgi.CaptureFrame();
  EXPECT_EQ(out.lastResult(), CaptureResult::TemporaryError);
  uint64_t passes = platform::callCount("dxgi.AcquireNextFrame");
  EXPECT_GE(passes, 10u);
  EXPECT_LE(passes, 20u);
  sim::SetDuplicationKnobs({});
  Capture(dxgi, out);
  out.last.reset();
}

TEST_F(DxgiCapturerTest, OneMonitorOfTwoIsWholeOnItsFirstFrame) {
  // The warm-up goes into a temporary frame (the target is smaller than the
  // desktop); the target's first frame must still show the whole screen.
  sim::SetDevices({Dev(0, {0, 0, 64, 48}, true), Dev(1, {64, 0, 128, 48})});
  test::PaintScene(77);
  Collector out;
  ScreenCapturerWinDirectx dxgi;
  dxgi.BeginCapture(&out);
  ASSERT_TRUE(dxgi.ChooseSource(1));
  const DesktopFrame& f = Capture(dxgi, out);
  EXPECT_TRUE(test::ShowsScreen(f, 64, 0));
  EXPECT_TRUE(f.updatedRegion().Equals(ScreenRegion(DesktopRect{0, 0, 64, 48})));
  const DesktopFrame& second = Capture(dxgi, out);
  EXPECT_TRUE(test::ShowsScreen(second, 64, 0));
  out.last.reset();
}

TEST_F(DxgiCapturerTest, TwoCapturersShareOutputChanges) {
  sim::SetDevices({Dev(0, {0, 0, 64, 48}, true)});
  Collector a, b;
  ScreenCapturerWinDirectx first, second;
  first.BeginCapture(&a);
  second.BeginCapture(&b);
  for (int i = 0; i < 4; ++i) {
    sim::Fill(0, {i * 5, 0, i * 5 + 4, 4}, 0xFF000010u * (i + 1));
    ASSERT_TRUE(test::ShowsScreen(Capture(first, a), 0, 0));
    // No new image for the second: it catches up from the first one's frame.
    ASSERT_TRUE(test::ShowsScreen(Capture(second, b), 0, 0));
  }
  a.last.reset();
  b.last.reset();
}

TEST_F(DxgiCapturerTest, ReplacingTheFactoryAfterFramesRemakesTargets) {
  sim::SetDevices({Dev(0, {0, 0, 64, 48}, true)});
  test::PaintScene(8);
  Collector out;
  ScreenCapturerWinDirectx dxgi;
  dxgi.BeginCapture(&out);
  Capture(dxgi, out);
  dxgi.UseSharedMemoryFactory(std::make_unique<test::SectionBlockFactory>());
  const DesktopFrame& f = Capture(dxgi, out);
  EXPECT_NE(f.sharedMemory(), nullptr);
  EXPECT_TRUE(test::ShowsScreen(f, 0, 0));
  dxgi.UseSharedMemoryFactory(std::make_unique<test::SectionBlockFactory>());  // the old factory dies here
  EXPECT_TRUE(test::ShowsScreen(Capture(dxgi, out), 0, 0));
  out.last.reset();
}

TEST_F(DxgiCapturerTest, ScreensForDxgiNamesGivesUnlistedOutputsNewIds) {
  auto hidden = Dev(2, {128, 0, 192, 48});
  hidden.listed = false;
  auto off = Dev(0, {0, 0, 10, 10});
  off.active = false;
  off.outputSlot = -1;
  sim::SetDevices({off, Dev(1, {0, 0, 64, 48}, true), hidden, Dev(3, {64, 0, 128, 48})});
  std::vector<DesktopCapturer::SourceEntry> screens;
  ASSERT_TRUE(ScreensForDxgiNames({"\\\\.\\DISPLAY2", "\\\\.\\DISPLAY3", "\\\\.\\DISPLAY4"}, &screens));
  // Listed devices: index 0 (DISPLAY2, id 1) and index 1 (DISPLAY4, id 2): the
  // unlisted DISPLAY3 gets 3.
  EXPECT_EQ(screens, (std::vector<DesktopCapturer::SourceEntry>{{1, ""}, {3, ""}, {2, ""}}));
  EXPECT_EQ(DxgiIndexOfScreenId(3, {"\\\\.\\DISPLAY2", "\\\\.\\DISPLAY3", "\\\\.\\DISPLAY4"}), 1);
  EXPECT_EQ(DxgiIndexOfScreenId(9, {"\\\\.\\DISPLAY2"}), -1);

  Collector out;
  ScreenCapturerWinDirectx dxgi;
  dxgi.BeginCapture(&out);
  std::vector<DesktopCapturer::SourceEntry> listed;
  ASSERT_TRUE(dxgi.ListSources(&listed));
  ASSERT_EQ(listed.size(), 3u);
  EXPECT_TRUE(dxgi.ChooseSource(listed[1].id));  // the unlisted output can be chosen
  const DesktopFrame& f = Capture(dxgi, out);
  EXPECT_EQ(f.size(), (DesktopExtent{64, 48}));
  out.last.reset();
}

}  // namespace
}  // namespace capture
