// Session rules of the duplication hub. Its own program: the count of
// successful captures is process-wide and only grows.
#include <gtest/gtest.h>

#include "capture/modules/desktop_capture/win/screen_capturer_win_directx.h"
#include "platform/core/faults.h"
#include "platform/display/display.h"
#include "platform/display/duplication.h"
#include "platform/display/sim_display.h"

namespace capture {
namespace {

namespace sim = platform::display::sim;

class Keep : public DesktopCapturer::Callback {
 public:
  void OnCaptureResult(CaptureResult r, std::unique_ptr<DesktopFrame>) override { result = r; }
  CaptureResult result = CaptureResult::Success;
};

TEST(DuplicationSessionTest, ServiceSessionWithoutASuccessIsPermanentThenTemporary) {
  platform::display::SelectBacking(platform::Backing::Simulated);
  sim::Reset();
  sim::SetSessionId(0);
  Keep out;
  ScreenCapturerWinDirectx dxgi;
  dxgi.BeginCapture(&out);

  platform::fail("dxgi.CreateFactory", {.times = 1, .code = platform::display::dxgi::kFail});
  dxgi.CaptureFrame();
  EXPECT_EQ(out.result, CaptureResult::PermanentError);  // a service that never captured

  dxgi.CaptureFrame();
  EXPECT_EQ(out.result, CaptureResult::Success);

  platform::fail("dxgi.AcquireNextFrame", {.times = 1, .code = platform::display::dxgi::kAccessLost});
  platform::fail("dxgi.CreateFactory", {.times = 1, .code = platform::display::dxgi::kFail});
  dxgi.CaptureFrame();  // the duplication fails and the hub deinitializes
  EXPECT_EQ(out.result, CaptureResult::TemporaryError);
  dxgi.CaptureFrame();  // initialization fails after a success: temporary
  EXPECT_EQ(out.result, CaptureResult::TemporaryError);
  dxgi.CaptureFrame();
  EXPECT_EQ(out.result, CaptureResult::Success);
}

}  // namespace
}  // namespace capture
