// Rotation of rectangles and pixels between a rotated monitor's native image
// and the upright desktop. Rotations are clockwise quarter turns.
//
// Thread safety: pure functions.
#pragma once

#include "capture/modules/desktop_capture/desktop_frame.h"
#include "capture/modules/desktop_capture/desktop_geometry.h"

namespace capture {

enum FrameRotation : int {
  kRotation0 = 0,
  kRotation90 = 1,
  kRotation180 = 2,
  kRotation270 = 3,
};

// The rotation that undoes `rotation`; 0 for anything that is not 1, 2 or 3.
int InverseRotation(int rotation);
// `size` after the rotation; (0, 0) for an unknown rotation.
DesktopExtent RotatedExtent(DesktopExtent size, int rotation);
// `rect`, inside a source of `sourceSize`, after rotating the source; all zero
// for an unknown rotation.
DesktopRect RotatedRect(const DesktopRect& rect, DesktopExtent sourceSize, int rotation);
// Rotates `sourceRect` of `source` by `rotation` into `target`, at the rotated
// rectangle moved by `targetOffset`. Copies nothing when that rectangle is empty.
void CopyRotated(const DesktopFrame& source, const DesktopRect& sourceRect, int rotation, DesktopPoint targetOffset,
                 DesktopFrame* target);

}  // namespace capture
