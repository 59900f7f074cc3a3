#include "capture/modules/desktop_capture/blank_frame_guard.h"

#include "capture/base/histogram.h"

namespace capture {

BlankFrameGuard::BlankFrameGuard(std::unique_ptr<DesktopCapturer> capturer, PixelColor blank)
    : ForwardingCapturer(std::move(capturer)), blank_(blank) {}

bool BlankFrameGuard::frameIsBlank(const DesktopFrame& frame, const PixelColor& blank) {
  const int width = frame.size().width;
  const int64_t pixels = int64_t{width} * frame.size().height;
  if (pixels <= 0) return true;
  for (int64_t i = 0; i < pixels; i += 105) {
    DesktopPoint p{static_cast<int>(i % width), static_cast<int>(i / width)};
    if (!(PixelColor::At(frame.PixelAt(p)) == blank)) return false;
  }
  return PixelColor::At(frame.PixelAt({width / 2, frame.size().height / 2})) == blank;
}

void BlankFrameGuard::OnCaptureResult(CaptureResult result, std::unique_ptr<DesktopFrame> frame) {
  if (result != CaptureResult::Success || nonBlankReceived_) {
    callback()->OnCaptureResult(result, std::move(frame));
    return;
  }
  if (!frame->updatedRegion().IsEmpty() || firstFrame_) {
    lastFrameBlank_ = frameIsBlank(*frame, blank_);
    firstFrame_ = false;
  }
  CountBooleanHistogram("Capture.DesktopCapture.BlankFrameDetected", lastFrameBlank_);
  if (!lastFrameBlank_) {
    nonBlankReceived_ = true;
    callback()->OnCaptureResult(CaptureResult::Success, std::move(frame));
    return;
  }
  frame.reset();
  callback()->OnCaptureResult(CaptureResult::TemporaryError, nullptr);
}

}  // namespace capture
