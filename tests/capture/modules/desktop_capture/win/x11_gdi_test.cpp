// The GDI capturer on a private Xvfb: frames of the whole screen and of one
// monitor equal what a small X client painted, a repaint shows in the next
// frame, a read region is all that is read, a grab outside the screen fails
// cleanly, a lost server ends the capture, and duplication is unsupported on
// X11.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "capture/modules/desktop_capture/capturer_options.h"
#include "capture/modules/desktop_capture/win/duplication_hub.h"
#include "capture/modules/desktop_capture/win/screen_capturer_win_gdi.h"
#include "platform/display/display.h"
#include "platform/display/gdi.h"
#include "support/xvfb_server.h"

// After GoogleTest: Xlib's macros clash with its names.
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>
#undef Success  // Xlib's status macro would hide CaptureResult::Success

namespace capture {
namespace {

namespace display = platform::display;

class Keep : public DesktopCapturer::Callback {
 public:
  void OnCaptureResult(CaptureResult r, std::unique_ptr<DesktopFrame> f) override {
    result = r;
    frame = std::move(f);
  }
  CaptureResult result = CaptureResult::TemporaryError;
  std::unique_ptr<DesktopFrame> frame;
};

class X11GdiTest : public testing::Test {
 protected:
  static constexpr int kWidth = 320;
  static constexpr int kHeight = 200;

  void SetUp() override {
    server_ = std::make_unique<qel::test::XvfbServer>(kWidth, kHeight);
    if (!server_->running()) GTEST_SKIP() << "no X server for this test: " << server_->error();
    client_ = XOpenDisplay(server_->display().c_str());
    ASSERT_NE(client_, nullptr);
    ASSERT_EQ(DefaultDepth(client_, DefaultScreen(client_)), 24);
    model_.assign(size_t(kWidth) * kHeight, 0);
    ASSERT_TRUE(display::SelectBacking(platform::Backing::Real, server_->display()));
  }
  void TearDown() override {
    display::SelectBacking(platform::Backing::Simulated);
    if (client_ != nullptr) XCloseDisplay(client_);
  }

  // Paints an opaque rectangle on the root window and into the model.
  void Paint(int x, int y, int w, int h, uint32_t rgb) {
    ::Window root = DefaultRootWindow(client_);
    GC gc = XCreateGC(client_, root, 0, nullptr);
    XSetForeground(client_, gc, rgb);  // a 24-bit TrueColor pixel is 0xRRGGBB
    XFillRectangle(client_, root, gc, x, y, static_cast<unsigned>(w), static_cast<unsigned>(h));
    XFreeGC(client_, gc);
    XSync(client_, False);
    for (int j = std::max(y, 0); j < std::min(y + h, kHeight); ++j)
      for (int i = std::max(x, 0); i < std::min(x + w, kWidth); ++i) model_[size_t(j) * kWidth + i] = rgb;
  }

  // Frame pixels (blue, green, red bytes) against the model from (left, top).
  testing::AssertionResult Matches(const DesktopFrame& frame, int left, int top) {
    for (int y = 0; y < frame.size().height; ++y)
      for (int x = 0; x < frame.size().width; ++x) {
        uint32_t got;
        std::memcpy(&got, frame.PixelAt({x, y}), 4);
        uint32_t want = model_[size_t(top + y) * kWidth + left + x];
        if ((got & 0xFFFFFF) != want)
          return testing::AssertionFailure() << "pixel " << x << "," << y << ": " << std::hex << got << " vs " << want;
      }
    return testing::AssertionSuccess();
  }

  std::unique_ptr<qel::test::XvfbServer> server_;
  Display* client_ = nullptr;
  std::vector<uint32_t> model_;
};

TEST_F(X11GdiTest, FramesEqualThePaintedScreen) {
  Paint(0, 0, kWidth, kHeight, 0x203040);
  Paint(10, 20, 100, 50, 0xFF0000);
  Paint(150, 5, 30, 190, 0x00FF00);
  Paint(300, 180, 20, 20, 0x0000FF);
  Paint(0, 199, 320, 1, 0xFFFFFF);

  Keep out;
  ScreenCapturerWinGdi capturer(CapturerOptions::MakeDefault());
  capturer.BeginCapture(&out);
  capturer.CaptureFrame();
  ASSERT_EQ(out.result, CaptureResult::Success);
  EXPECT_EQ(out.frame->size(), (DesktopExtent{kWidth, kHeight}));
  EXPECT_EQ(out.frame->dpi(), (DesktopPoint{96, 96}));
  EXPECT_TRUE(Matches(*out.frame, 0, 0));

  Paint(40, 40, 60, 60, 0xABCDEF);  // a repaint shows in the next frame
  capturer.CaptureFrame();
  ASSERT_EQ(out.result, CaptureResult::Success);
  EXPECT_TRUE(Matches(*out.frame, 0, 0));
  out.frame.reset();
}

TEST_F(X11GdiTest, OneMonitorOfTwo) {
  ::Window root = DefaultRootWindow(client_);
  const struct {
    const char* name;
    int x, width;
    bool primary;
  } specs[] = {{"A-1", 0, 120, true}, {"B-1", 120, 200, false}};
  for (const auto& s : specs) {
    XRRMonitorInfo* m = XRRAllocateMonitor(client_, 0);
    m->name = XInternAtom(client_, s.name, False);
    m->primary = s.primary;
    m->x = s.x;
    m->width = s.width;
    m->height = kHeight;
    m->mwidth = s.width / 4;
    m->mheight = kHeight / 4;
    XRRSetMonitor(client_, root, m);
    XRRFreeMonitors(m);
  }
  XSync(client_, False);
  Paint(0, 0, kWidth, kHeight, 0x101010);
  Paint(100, 50, 60, 60, 0xFF8000);

  Keep out;
  ScreenCapturerWinGdi capturer(CapturerOptions::MakeDefault());
  capturer.BeginCapture(&out);
  std::vector<DesktopCapturer::SourceEntry> screens;
  ASSERT_TRUE(capturer.ListSources(&screens));
  if (screens.size() < 2) GTEST_SKIP() << "the server keeps one monitor";
  ASSERT_TRUE(capturer.ChooseSource(1));
  capturer.CaptureFrame();
  ASSERT_EQ(out.result, CaptureResult::Success);
  EXPECT_EQ(out.frame->size(), (DesktopExtent{200, kHeight}));
  EXPECT_EQ(out.frame->topLeft(), (DesktopPoint{120, 0}));
  EXPECT_TRUE(Matches(*out.frame, 120, 0));
  out.frame.reset();
}

TEST_F(X11GdiTest, GrabOutsideTheScreenFailsAndDuplicationIsUnsupported) {
  display::Hdc screen = display::GetDC();
  display::Hdc memory = display::CreateCompatibleDC(screen);
  void* bits = nullptr;
  display::Hbitmap bitmap = display::CreateDIBSection(memory, 40, -10, 0, 0, &bits);
  ASSERT_NE(bitmap, 0u);
  display::Hbitmap previous = display::SelectObject(memory, bitmap);
  EXPECT_FALSE(display::BitBlt(memory, 0, 0, 40, 10, screen, kWidth - 20, 0, display::kSrcCopy));  // BadMatch
  EXPECT_TRUE(display::BitBlt(memory, 0, 0, 40, 10, screen, kWidth - 40, 0, display::kSrcCopy));
  display::SelectObject(memory, previous);
  display::DeleteObject(bitmap);
  display::DeleteDC(memory);
  display::ReleaseDC(screen);

  EXPECT_FALSE(DuplicationHub::Supported());
}

// A lost server is the end of the capture (a permanent error: no frame will
// come again), never the end of the process.
TEST_F(X11GdiTest, LostServerIsAPermanentErrorNotTheEnd) {
  Keep out;
  ScreenCapturerWinGdi capturer(CapturerOptions::MakeDefault());
  capturer.BeginCapture(&out);
  capturer.CaptureFrame();
  ASSERT_EQ(out.result, CaptureResult::Success);
  EXPECT_FALSE(display::ScreenLost());
  XCloseDisplay(client_);
  client_ = nullptr;
  server_->kill();
  capturer.CaptureFrame();
  EXPECT_EQ(out.result, CaptureResult::PermanentError);
  EXPECT_TRUE(display::ScreenLost());
  capturer.CaptureFrame();
  EXPECT_EQ(out.result, CaptureResult::PermanentError);
  out.frame.reset();
}

// With a read region only that part comes from the server: it equals the
// screen, its updated region says so, and the rest of the frame was not
// written (it keeps the new frame's zeros, not the painted colour).
TEST_F(X11GdiTest, ReadRegionIsTheOnlyPartRead) {
  Paint(0, 0, kWidth, kHeight, 0x405060);
  Paint(100, 60, 40, 30, 0xFF0000);
  Keep out;
  ScreenCapturerWinGdi capturer(CapturerOptions::MakeDefault());
  capturer.SetReadRegion(DesktopRect::MakeLTRB(80, 50, 240, 150));
  capturer.BeginCapture(&out);
  capturer.CaptureFrame();
  ASSERT_EQ(out.result, CaptureResult::Success);
  ASSERT_EQ(out.frame->size(), (DesktopExtent{kWidth, kHeight}));
  EXPECT_TRUE(out.frame->updatedRegion().Equals(ScreenRegion(DesktopRect::MakeLTRB(80, 50, 240, 150))));
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) {
      uint32_t got;
      std::memcpy(&got, out.frame->PixelAt({x, y}), 4);
      const bool inside = x >= 80 && x < 240 && y >= 50 && y < 150;
      const uint32_t want = inside ? model_[size_t(y) * kWidth + x] : 0;
      ASSERT_EQ(got & 0xFFFFFF, want) << x << "," << y << (inside ? " inside" : " outside");
    }
  // A region reaching past the screen is cut to it.
  capturer.SetReadRegion(DesktopRect::MakeLTRB(300, 190, 400, 300));
  capturer.CaptureFrame();
  ASSERT_EQ(out.result, CaptureResult::Success);
  EXPECT_TRUE(out.frame->updatedRegion().Equals(ScreenRegion(DesktopRect::MakeLTRB(300, 190, kWidth, kHeight))));
  out.frame.reset();
}

}  // namespace
}  // namespace capture
