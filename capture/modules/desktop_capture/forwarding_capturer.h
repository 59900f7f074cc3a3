// A capturer in front of another one: every call goes on to the wrapped
// capturer, whose results come back through OnCaptureResult, where the
// subclass decides what reaches the client's callback.
//
// Thread safety: one thread, like the capturer it wraps.
#pragma once

#include <memory>
#include <vector>

#include "capture/modules/desktop_capture/desktop_capturer.h"

namespace capture {

class ForwardingCapturer : public DesktopCapturer, public DesktopCapturer::Callback {
 public:
  explicit ForwardingCapturer(std::unique_ptr<DesktopCapturer> capturer);

  void BeginCapture(DesktopCapturer::Callback* callback) override;
  void UseSharedMemoryFactory(std::unique_ptr<SharedMemoryBlockFactory> factory) override;
  void CaptureFrame() override;
  void ExcludeWindow(WindowHandle window) override;
  bool ListSources(std::vector<SourceEntry>* sources) override;
  bool ChooseSource(int64_t id) override;
  bool BringSourceToFront() override;
  bool IsPointCovered(DesktopPoint point) override;

  DesktopCapturer* wrapped() const { return capturer_.get(); }

 protected:
  // The client's callback, given to BeginCapture.
  DesktopCapturer::Callback* callback() const { return callback_; }

 private:
  std::unique_ptr<DesktopCapturer> capturer_;
  DesktopCapturer::Callback* callback_ = nullptr;
};

}  // namespace capture
