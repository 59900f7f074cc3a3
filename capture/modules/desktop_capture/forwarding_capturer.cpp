#include "capture/modules/desktop_capture/forwarding_capturer.h"

namespace capture {

ForwardingCapturer::ForwardingCapturer(std::unique_ptr<DesktopCapturer> capturer) : capturer_(std::move(capturer)) {}

void ForwardingCapturer::BeginCapture(DesktopCapturer::Callback* callback) {
  callback_ = callback;
  capturer_->BeginCapture(this);
}

void ForwardingCapturer::UseSharedMemoryFactory(std::unique_ptr<SharedMemoryBlockFactory> factory) {
  capturer_->UseSharedMemoryFactory(std::move(factory));
}
void ForwardingCapturer::CaptureFrame() { capturer_->CaptureFrame(); }
void ForwardingCapturer::ExcludeWindow(WindowHandle window) { capturer_->ExcludeWindow(window); }
bool ForwardingCapturer::ListSources(std::vector<SourceEntry>* sources) { return capturer_->ListSources(sources); }
bool ForwardingCapturer::ChooseSource(int64_t id) { return capturer_->ChooseSource(id); }
bool ForwardingCapturer::BringSourceToFront() { return capturer_->BringSourceToFront(); }
bool ForwardingCapturer::IsPointCovered(DesktopPoint point) { return capturer_->IsPointCovered(point); }

}  // namespace capture
