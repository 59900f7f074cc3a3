// Sizes, points and rectangles in pixels on the virtual screen or in a frame.
// Rectangles are half-open: right and bottom are exclusive.
//
// Thread safety: plain values.
#pragma once

#include <algorithm>

namespace capture {

struct DesktopExtent {
  int width = 0;
  int height = 0;
  bool IsEmpty() const { return width <= 0 || height <= 0; }
  bool operator==(const DesktopExtent&) const = default;
};

struct DesktopPoint {
  int x = 0;
  int y = 0;
  bool operator==(const DesktopPoint&) const = default;
};

struct DesktopRect {
  int left = 0;
  int top = 0;
  int right = 0;
  int bottom = 0;

  static DesktopRect MakeLTRB(int l, int t, int r, int b) { return DesktopRect{l, t, r, b}; }
  static DesktopRect MakeSize(DesktopExtent size) { return DesktopRect{0, 0, size.width, size.height}; }
  static DesktopRect MakeOriginSize(DesktopPoint origin, DesktopExtent size) {
    return DesktopRect{origin.x, origin.y, origin.x + size.width, origin.y + size.height};
  }

  int width() const { return right - left; }
  int height() const { return bottom - top; }
  DesktopExtent size() const { return {width(), height()}; }
  DesktopPoint topLeft() const { return {left, top}; }
  bool IsDegenerate() const { return left >= right || top >= bottom; }

  bool ContainsRect(const DesktopRect& other) const {
    return other.left >= left && other.right <= right && other.top >= top && other.bottom <= bottom;
  }
  // This rectangle becomes its intersection with `other`; all zero when empty.
  void ClipTo(const DesktopRect& other) {
    left = std::max(left, other.left);
    top = std::max(top, other.top);
    right = std::min(right, other.right);
    bottom = std::min(bottom, other.bottom);
    if (IsDegenerate()) *this = DesktopRect{};
  }
  // This rectangle becomes the bounding box of itself and `other`; an empty
  // rectangle contributes nothing.
  void Enclose(const DesktopRect& other) {
    if (IsDegenerate()) {
      *this = other;
    } else if (!other.IsDegenerate()) {
      left = std::min(left, other.left);
      top = std::min(top, other.top);
      right = std::max(right, other.right);
      bottom = std::max(bottom, other.bottom);
    }
  }
  void Offset(int dx, int dy) {
    left += dx;
    right += dx;
    top += dy;
    bottom += dy;
  }

  bool operator==(const DesktopRect&) const = default;
};

}  // namespace capture
