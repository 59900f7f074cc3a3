#include "capture/modules/desktop_capture/desktop_frame_rotation.h"

#include <libyuv.h>

namespace capture {

int InverseRotation(int rotation) {
  switch (rotation) {
    case kRotation90: return kRotation270;
    case kRotation180: return kRotation180;
    case kRotation270: return kRotation90;
    default: return kRotation0;
  }
}

DesktopExtent RotatedExtent(DesktopExtent size, int rotation) {
  switch (rotation) {
    case kRotation0:
    case kRotation180: return size;
    case kRotation90:
    case kRotation270: return {size.height, size.width};
    default: return {};
  }
}

DesktopRect RotatedRect(const DesktopRect& r, DesktopExtent source, int rotation) {
  const int w = source.width;
  const int h = source.height;
  switch (rotation) {
    case kRotation0: return r;
    case kRotation90: return {h - r.bottom, r.left, h - r.top, r.right};
    case kRotation180: return {w - r.right, h - r.bottom, w - r.left, h - r.top};
    case kRotation270: return {r.top, w - r.right, r.bottom, w - r.left};
    default: return {};
  }
}

void CopyRotated(const DesktopFrame& source, const DesktopRect& sourceRect, int rotation, DesktopPoint targetOffset,
                 DesktopFrame* target) {
  DesktopRect targetRect = RotatedRect(sourceRect, source.size(), rotation);
  targetRect.Offset(targetOffset.x, targetOffset.y);
  if (targetRect.IsDegenerate()) return;
  libyuv::RotationMode mode = rotation == kRotation90    ? libyuv::kRotate90
                              : rotation == kRotation180 ? libyuv::kRotate180
                              : rotation == kRotation270 ? libyuv::kRotate270
                                                         : libyuv::kRotate0;
  libyuv::ARGBRotate(source.PixelAt(sourceRect.topLeft()), source.stride(), target->PixelAt(targetRect.topLeft()),
                     target->stride(), sourceRect.width(), sourceRect.height(), mode);
}

}  // namespace capture
