// Compares each frame with the previous one in 32 x 32 blocks, only inside the
// region the wrapped capturer reported as updated, and sets the frame's updated
// region to the blocks that really changed.
//
// Thread safety: one thread, like the capturer it wraps.
#pragma once

#include <memory>

#include "capture/modules/desktop_capture/forwarding_capturer.h"

namespace capture {

class ChangedRegionCapturer : public ForwardingCapturer {
 public:
  explicit ChangedRegionCapturer(std::unique_ptr<DesktopCapturer> capturer);

  // Adds the changed 32 x 32 blocks of `rect` (clipped to `previous`) to `region`.
  // Both frames have the same size and stride.
  static void compareRect(const DesktopFrame& previous, const DesktopFrame& current, DesktopRect rect,
                          ScreenRegion* region);
  // One band of rows [top, bottom) between left and right.
  static void compareBand(const uint8_t* previous, const uint8_t* current, int stride, int left, int right, int top,
                          int bottom, ScreenRegion* region);

 private:
  void OnCaptureResult(CaptureResult result, std::unique_ptr<DesktopFrame> frame) override;

  std::unique_ptr<RefSharedFrame> previous_;
};

}  // namespace capture
