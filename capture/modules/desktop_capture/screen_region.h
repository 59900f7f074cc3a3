// A set of pixels, kept as horizontal rows of sorted, disjoint spans. Rows do
// not overlap, every row has a span, spans of a row neither overlap nor touch,
// and two vertically touching rows never hold the same spans (they are joined).
// The capturers use it for the part of a frame that changed.
//
// Thread safety: none; one thread at a time.
#pragma once

#include <map>
#include <memory>
#include <vector>

#include "capture/modules/desktop_capture/desktop_geometry.h"

namespace capture {

class ScreenRegion {
 public:
  struct Span {
    int left;
    int right;
    bool operator==(const Span&) const = default;
  };
  struct Row {
    int top;
    int bottom;
    std::vector<Span> spans;
  };
  // Rows keyed by their bottom.
  using Rows = std::map<int, std::unique_ptr<Row>>;

  ScreenRegion() = default;
  explicit ScreenRegion(const DesktopRect& rect) { Include(rect); }
  ScreenRegion(const ScreenRegion& other);
  ScreenRegion& operator=(const ScreenRegion& other);
  ScreenRegion(ScreenRegion&&) noexcept = default;
  ScreenRegion& operator=(ScreenRegion&&) noexcept = default;

  bool IsEmpty() const { return rows_.empty(); }
  bool Equals(const ScreenRegion& other) const;
  void MakeEmpty() { rows_.clear(); }
  // Clears the region, then includes `rect`.
  void Reset(const DesktopRect& rect);
  void Include(const DesktopRect& rect);
  void IncludeRegion(const ScreenRegion& region);
  // This region becomes a ∩ b (either may be this region's own copy).
  void IntersectOf(const ScreenRegion& a, const ScreenRegion& b);
  void KeepOnly(const ScreenRegion& region);
  void KeepOnlyRect(const DesktopRect& rect);
  void Shift(int dx, int dy);
  void Exchange(ScreenRegion& other) { rows_.swap(other.rows_); }

  const Rows& rows() const { return rows_; }

  // Walks the region as rectangles, each as tall as the rows allow, each pixel
  // in exactly one rectangle. The region must not change during the walk.
  class RectIterator {
   public:
    explicit RectIterator(const ScreenRegion& region);
    bool IsAtEnd() const { return row_ == rows_->end(); }
    const DesktopRect& rect() const { return rect_; }
    void Advance();

   private:
    void UpdateRect();

    const Rows* rows_;
    Rows::const_iterator row_;
    Rows::const_iterator previousRow_;
    std::vector<Span>::const_iterator span_;
    DesktopRect rect_;
  };

 private:
  static void MergeSpanIntoRow(Row* row, int left, int right);
  // Joins the row at `it` with the row above when they touch and match.
  void JoinWithRowAbove(Rows::iterator it);
  static std::vector<Span> IntersectSpans(const std::vector<Span>& a, const std::vector<Span>& b);

  Rows rows_;
};

}  // namespace capture
