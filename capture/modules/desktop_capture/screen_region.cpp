#include "capture/modules/desktop_capture/screen_region.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace capture {

ScreenRegion::ScreenRegion(const ScreenRegion& other) {
  for (const auto& [bottom, row] : other.rows_) rows_.emplace_hint(rows_.end(), bottom, std::make_unique<Row>(*row));
}

ScreenRegion& ScreenRegion::operator=(const ScreenRegion& other) {
  if (this != &other) {
    ScreenRegion copy(other);
    Exchange(copy);
  }
  return *this;
}

bool ScreenRegion::Equals(const ScreenRegion& other) const {
  if (rows_.size() != other.rows_.size()) return false;
  for (auto a = rows_.begin(), b = other.rows_.begin(); a != rows_.end(); ++a, ++b) {
    if (a->second->top != b->second->top || a->second->bottom != b->second->bottom ||
        a->second->spans != b->second->spans)
      return false;
  }
  return true;
}

void ScreenRegion::Reset(const DesktopRect& rect) {
  MakeEmpty();
  Include(rect);
}

void ScreenRegion::Include(const DesktopRect& rect) {
  if (rect.IsDegenerate()) return;
  int top = rect.top;
  auto row = rows_.upper_bound(top);  // first row whose bottom is below `top`
  while (top < rect.bottom) {
    if (row == rows_.end() || top < row->second->top) {
      int bottom = rect.bottom;
      if (row != rows_.end() && row->second->top < bottom) bottom = row->second->top;
      row = rows_.emplace_hint(row, bottom, std::make_unique<Row>(Row{top, bottom, {}}));
    } else if (top > row->second->top) {
      rows_.emplace_hint(row, top, std::make_unique<Row>(Row{row->second->top, top, row->second->spans}));
      row->second->top = top;
    }
    if (rect.bottom < row->second->bottom) {
      auto part = std::make_unique<Row>(Row{top, rect.bottom, row->second->spans});
      row->second->top = rect.bottom;
      row = rows_.emplace_hint(row, rect.bottom, std::move(part));
    }
    MergeSpanIntoRow(row->second.get(), rect.left, rect.right);
    top = row->second->bottom;
    JoinWithRowAbove(row);
    ++row;
  }
  if (row != rows_.end()) JoinWithRowAbove(row);
}

void ScreenRegion::IncludeRegion(const ScreenRegion& region) {
  for (RectIterator it(region); !it.IsAtEnd(); it.Advance()) Include(it.rect());
}

void ScreenRegion::MergeSpanIntoRow(Row* row, int left, int right) {
  auto& spans = row->spans;
  if (spans.empty() || left > spans.back().right) {
    spans.push_back({left, right});
    return;
  }
  auto first = std::find_if(spans.begin(), spans.end(), [&](const Span& s) { return s.right >= left; });
  auto past = std::find_if(spans.begin(), spans.end(), [&](const Span& s) { return s.left > right; });
  if (past == spans.begin()) {
    spans.insert(spans.begin(), {left, right});
  } else if (first < past) {
    Span merged{std::min(first->left, left), std::max(right, std::prev(past)->right)};
    auto at = spans.erase(first, past);
    spans.insert(at, merged);
  } else {
    spans.insert(past, {left, right});
  }
}

void ScreenRegion::JoinWithRowAbove(Rows::iterator it) {
  if (it == rows_.begin()) return;
  auto above = std::prev(it);
  if (above->second->bottom != it->second->top || above->second->spans != it->second->spans) return;
  it->second->top = above->second->top;
  rows_.erase(above);
}

std::vector<ScreenRegion::Span> ScreenRegion::IntersectSpans(const std::vector<Span>& a, const std::vector<Span>& b) {
  std::vector<Span> out;
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    const Span& low = a[i].left <= b[j].left ? a[i] : b[j];
    const Span& high = a[i].left <= b[j].left ? b[j] : a[i];
    if (high.left < low.right) {
      int right = std::min(low.right, high.right);
      out.push_back({high.left, right});
      bool advanceA = a[i].right == right;
      bool advanceB = b[j].right == right;
      if (advanceA) ++i;
      if (advanceB) ++j;
    } else if (&low == &a[i]) {
      ++i;
    } else {
      ++j;
    }
  }
  return out;
}

void ScreenRegion::IntersectOf(const ScreenRegion& a, const ScreenRegion& b) {
  // Either input may alias this region: work into a fresh one.
  Rows result;
  auto ia = a.rows_.begin();
  auto ib = b.rows_.begin();
  while (ia != a.rows_.end() && ib != b.rows_.end()) {
    const Row& ra = *ia->second;
    const Row& rb = *ib->second;
    const Row& first = ra.top <= rb.top ? ra : rb;
    const Row& second = ra.top <= rb.top ? rb : ra;
    if (second.top < first.bottom) {
      int bottom = std::min(first.bottom, second.bottom);
      auto spans = IntersectSpans(ra.spans, rb.spans);
      if (!spans.empty()) {
        auto it =
            result.emplace_hint(result.end(), bottom, std::make_unique<Row>(Row{second.top, bottom, std::move(spans)}));
        if (it != result.begin()) {
          auto above = std::prev(it);
          if (above->second->bottom == it->second->top && above->second->spans == it->second->spans) {
            it->second->top = above->second->top;
            result.erase(above);
          }
        }
      }
      if (ra.bottom == bottom) ++ia;
      if (rb.bottom == bottom) ++ib;
    } else if (&first == &ra) {
      ++ia;
    } else {
      ++ib;
    }
  }
  rows_.swap(result);
}

void ScreenRegion::KeepOnly(const ScreenRegion& region) {
  ScreenRegion mine;
  Exchange(mine);
  IntersectOf(mine, region);
}

void ScreenRegion::KeepOnlyRect(const DesktopRect& rect) { KeepOnly(ScreenRegion(rect)); }

void ScreenRegion::Shift(int dx, int dy) {
  if (dx == 0 && dy == 0) return;
  Rows moved;
  for (auto& [bottom, row] : rows_) {
    row->top += dy;
    row->bottom += dy;
    if (dx != 0)
      for (auto& span : row->spans) {
        span.left += dx;
        span.right += dx;
      }
    moved.emplace_hint(moved.end(), row->bottom, std::move(row));
  }
  rows_.swap(moved);
}

ScreenRegion::RectIterator::RectIterator(const ScreenRegion& region)
    : rows_(&region.rows_), row_(region.rows_.begin()), previousRow_(region.rows_.end()) {
  if (!IsAtEnd()) {
    span_ = row_->second->spans.begin();
    UpdateRect();
  }
}

void ScreenRegion::RectIterator::Advance() {
  while (true) {
    ++span_;
    if (span_ == row_->second->spans.end()) {
      previousRow_ = row_;
      ++row_;
      if (row_ == rows_->end()) return;
      span_ = row_->second->spans.begin();
    }
    // A span that stands in the touching row above was reported as part of a
    // taller rectangle already.
    if (previousRow_ != rows_->end() && previousRow_->second->bottom == row_->second->top) {
      const auto& above = previousRow_->second->spans;
      if (std::find(above.begin(), above.end(), *span_) != above.end()) continue;
    }
    break;
  }
  UpdateRect();
}

void ScreenRegion::RectIterator::UpdateRect() {
  int bottom = row_->second->bottom;
  for (auto next = std::next(row_); next != rows_->end() && next->second->top == bottom; ++next) {
    const auto& spans = next->second->spans;
    if (std::find(spans.begin(), spans.end(), *span_) == spans.end()) break;
    bottom = next->second->bottom;
  }
  rect_ = DesktopRect{span_->left, row_->second->top, span_->right, bottom};
}

}  // namespace capture
