#include "capture/modules/desktop_capture/win/screen_frame.h"

#include "capture/base/clock.h"
#include "platform/display/gdi.h"

namespace capture {

namespace display = platform::display;

std::unique_ptr<DesktopFrame> ShareScreenFrame(const TwoFrameRing& ring, uint64_t screenDc, int64_t startNanos) {
  std::unique_ptr<DesktopFrame> frame = ring.current()->Share();
  frame->setDpi(
      {display::GetDeviceCaps(screenDc, display::kLogPixelsX), display::GetDeviceCaps(screenDc, display::kLogPixelsY)});
  frame->mutableUpdatedRegion()->Reset(DesktopRect::MakeSize(frame->size()));
  frame->setCaptureTimeMs((ClockNanos() - startNanos) / 1'000'000);
  return frame;
}

}  // namespace capture
