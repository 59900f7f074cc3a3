// Compares each frame with the previous one in 32 x 32 blocks, only inside the
// region the wrapped capturer reported as updated, and sets the frame's updated
// region to the blocks that really changed.
//
// Thread safety: one thread, like the capturer it wraps.
#pragma once

#include <memory>

#include "capture/modules/desktop_capture/desktop_capturer.h"

namespace capture {

class ChangedRegionCapturer : public DesktopCapturer, public DesktopCapturer::Callback {
 public:
  explicit ChangedRegionCapturer(std::unique_ptr<DesktopCapturer> capturer);

  void BeginCapture(DesktopCapturer::Callback* callback) override;
  void UseSharedMemoryFactory(std::unique_ptr<SharedMemoryBlockFactory> factory) override;
  void CaptureFrame() override;
  void ExcludeWindow(WindowHandle window) override;
  bool ListSources(std::vector<SourceEntry>* sources) override;
  bool ChooseSource(int64_t id) override;
  bool BringSourceToFront() override;
  bool IsPointCovered(DesktopPoint point) override;

  // Adds the changed 32 x 32 blocks of `rect` (clipped to `previous`) to `region`.
  // Both frames have the same size and stride.
  static void compareRect(const DesktopFrame& previous, const DesktopFrame& current, DesktopRect rect,
                          ScreenRegion* region);
  // One band of rows [top, bottom) between left and right.
  static void compareBand(const uint8_t* previous, const uint8_t* current, int stride, int left, int right, int top,
                          int bottom, ScreenRegion* region);
  DesktopCapturer* wrapped() const { return capturer_.get(); }

 private:
  void OnCaptureResult(CaptureResult result, std::unique_ptr<DesktopFrame> frame) override;

  std::unique_ptr<DesktopCapturer> capturer_;
  DesktopCapturer::Callback* callback_ = nullptr;
  std::unique_ptr<RefSharedFrame> previous_;
};

}  // namespace capture
