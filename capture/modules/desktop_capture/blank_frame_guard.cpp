#include "capture/modules/desktop_capture/blank_frame_guard.h"

#include "capture/base/histogram.h"

namespace capture {

BlankFrameGuard::BlankFrameGuard(std::unique_ptr<DesktopCapturer> capturer, PixelColor blank)
    : capturer_(std::move(capturer)), blank_(blank) {}

void BlankFrameGuard::BeginCapture(DesktopCapturer::Callback* callback) {
  callback_ = callback;
  capturer_->BeginCapture(this);
}

void BlankFrameGuard::UseSharedMemoryFactory(std::unique_ptr<SharedMemoryBlockFactory> factory) {
  capturer_->UseSharedMemoryFactory(std::move(factory));
}
void BlankFrameGuard::CaptureFrame() { capturer_->CaptureFrame(); }
void BlankFrameGuard::ExcludeWindow(WindowHandle window) { capturer_->ExcludeWindow(window); }
bool BlankFrameGuard::ListSources(std::vector<SourceEntry>* sources) { return capturer_->ListSources(sources); }
bool BlankFrameGuard::ChooseSource(int64_t id) { return capturer_->ChooseSource(id); }
bool BlankFrameGuard::BringSourceToFront() { return capturer_->BringSourceToFront(); }
bool BlankFrameGuard::IsPointCovered(DesktopPoint point) { return capturer_->IsPointCovered(point); }

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
    callback_->OnCaptureResult(result, std::move(frame));
    return;
  }
  if (!frame->updatedRegion().IsEmpty() || firstFrame_) {
    lastFrameBlank_ = frameIsBlank(*frame, blank_);
    firstFrame_ = false;
  }
  CountBooleanHistogram("Capture.DesktopCapture.BlankFrameDetected", lastFrameBlank_);
  if (!lastFrameBlank_) {
    nonBlankReceived_ = true;
    callback_->OnCaptureResult(CaptureResult::Success, std::move(frame));
    return;
  }
  frame.reset();
  callback_->OnCaptureResult(CaptureResult::TemporaryError, nullptr);
}

}  // namespace capture
