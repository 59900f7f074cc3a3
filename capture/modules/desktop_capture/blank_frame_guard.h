// Hides the all-black frames desktop duplication can deliver right after it
// starts: until one real picture arrived, a blank frame counts as a failed
// frame (TemporaryError). After the first real picture every frame passes.
//
// Thread safety: one thread, like the capturer it wraps.
#pragma once

#include <cstdint>
#include <memory>

#include "capture/modules/desktop_capture/forwarding_capturer.h"

namespace capture {

// Four bytes in the frame's memory order (blue, green, red, alpha). Colours
// are equal when the first three bytes are, and the alphas are equal or each
// is 0 or 255.
struct PixelColor {
  uint8_t bytes[4] = {0, 0, 0, 0};
  static PixelColor At(const uint8_t* pixel) {
    PixelColor c;
    for (int i = 0; i < 4; ++i) c.bytes[i] = pixel[i];
    return c;
  }
  bool operator==(const PixelColor& other) const {
    for (int i = 0; i < 3; ++i)
      if (bytes[i] != other.bytes[i]) return false;
    auto opaqueOrClear = [](uint8_t a) { return a == 0 || a == 255; };
    return bytes[3] == other.bytes[3] || (opaqueOrClear(bytes[3]) && opaqueOrClear(other.bytes[3]));
  }
};

class BlankFrameGuard : public ForwardingCapturer {
 public:
  BlankFrameGuard(std::unique_ptr<DesktopCapturer> capturer, PixelColor blank);

  // Samples every 105th pixel; when all match the blank colour, the centre
  // pixel decides.
  static bool frameIsBlank(const DesktopFrame& frame, const PixelColor& blank);

 private:
  void OnCaptureResult(CaptureResult result, std::unique_ptr<DesktopFrame> frame) override;

  PixelColor blank_;
  bool nonBlankReceived_ = false;
  bool lastFrameBlank_ = false;
  bool firstFrame_ = true;
};

}  // namespace capture
