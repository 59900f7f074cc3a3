// Rectangles and regions: the documented cases, then random operations checked
// against a plain pixel grid, with the region's invariants after each step.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "capture/modules/desktop_capture/screen_region.h"

namespace capture {
namespace {

std::vector<DesktopRect> Walk(const ScreenRegion& region) {
  std::vector<DesktopRect> out;
  for (ScreenRegion::RectIterator it(region); !it.IsAtEnd(); it.Advance()) out.push_back(it.rect());
  return out;
}

TEST(DesktopRectTest, Operations) {
  DesktopRect r{0, 0, 10, 10};
  r.ClipTo({20, 20, 30, 30});
  EXPECT_EQ(r, (DesktopRect{0, 0, 0, 0}));
  DesktopRect c{0, 0, 10, 10};
  c.ClipTo({5, -5, 30, 8});
  EXPECT_EQ(c, (DesktopRect{5, 0, 10, 8}));
  DesktopRect e{};
  e.Enclose({1, 2, 3, 4});
  EXPECT_EQ(e, (DesktopRect{1, 2, 3, 4}));
  e.Enclose({});
  EXPECT_EQ(e, (DesktopRect{1, 2, 3, 4}));
  e.Enclose({-1, 3, 2, 9});
  EXPECT_EQ(e, (DesktopRect{-1, 2, 3, 9}));
  e.Offset(1, -2);
  EXPECT_EQ(e, (DesktopRect{0, 0, 4, 7}));
  EXPECT_TRUE(e.ContainsRect({0, 0, 4, 7}));
  EXPECT_FALSE(e.ContainsRect({0, 0, 5, 7}));
  EXPECT_TRUE((DesktopRect{3, 0, 3, 5}).IsDegenerate());
  EXPECT_EQ(DesktopRect::MakeOriginSize({2, 3}, {4, 5}), (DesktopRect{2, 3, 6, 8}));
}

TEST(ScreenRegionTest, DocumentedCases) {
  ScreenRegion side;
  side.Include({0, 0, 10, 10});
  side.Include({10, 0, 20, 10});
  ASSERT_EQ(side.rows().size(), 1u);
  EXPECT_EQ(side.rows().begin()->second->spans, (std::vector<ScreenRegion::Span>{{0, 20}}));

  ScreenRegion stacked;
  stacked.Include({0, 0, 10, 10});
  stacked.Include({0, 10, 10, 20});
  ASSERT_EQ(stacked.rows().size(), 1u);
  EXPECT_EQ(Walk(stacked), (std::vector<DesktopRect>{{0, 0, 10, 20}}));

  ScreenRegion overlap;
  overlap.Include({0, 0, 10, 10});
  overlap.Include({5, 5, 15, 15});
  EXPECT_EQ(overlap.rows().size(), 3u);
  EXPECT_EQ(Walk(overlap), (std::vector<DesktopRect>{{0, 0, 10, 5}, {0, 5, 15, 10}, {5, 10, 15, 15}}));

  ScreenRegion a(DesktopRect{0, 0, 10, 10});
  a.KeepOnlyRect({});
  EXPECT_TRUE(a.IsEmpty());
  ScreenRegion b(DesktopRect{0, 0, 10, 10});
  b.KeepOnly(ScreenRegion());
  EXPECT_TRUE(b.IsEmpty());
  ScreenRegion c;
  c.Include({5, 5, 5, 9});  // an empty rectangle adds nothing
  EXPECT_TRUE(c.IsEmpty());
}

// The region's own invariants.
void ExpectWellFormed(const ScreenRegion& region) {
  const ScreenRegion::Row* above = nullptr;
  for (const auto& [bottom, row] : region.rows()) {
    ASSERT_EQ(bottom, row->bottom);
    ASSERT_LT(row->top, row->bottom);
    ASSERT_FALSE(row->spans.empty());
    for (size_t i = 0; i < row->spans.size(); ++i) {
      ASSERT_LT(row->spans[i].left, row->spans[i].right);
      if (i > 0) {
        ASSERT_LT(row->spans[i - 1].right, row->spans[i].left) << "spans touch or overlap";
      }
    }
    if (above != nullptr) {
      ASSERT_LE(above->bottom, row->top);
      if (above->bottom == row->top) {
        ASSERT_NE(above->spans, row->spans) << "touching rows not joined";
      }
    }
    above = row.get();
  }
}

constexpr int kGrid = 40;
using Grid = std::vector<std::vector<bool>>;

Grid Empty() { return Grid(kGrid, std::vector<bool>(kGrid, false)); }

void Paint(Grid& g, const DesktopRect& r, bool value = true) {
  for (int y = std::max(r.top, 0); y < std::min(r.bottom, kGrid); ++y)
    for (int x = std::max(r.left, 0); x < std::min(r.right, kGrid); ++x) g[y][x] = value;
}

// The region as a grid, checking that its rectangles cover each pixel once.
Grid Rasterize(const ScreenRegion& region) {
  Grid g = Empty();
  for (const DesktopRect& r : Walk(region)) {
    EXPECT_FALSE(r.IsDegenerate());
    for (int y = r.top; y < r.bottom; ++y)
      for (int x = r.left; x < r.right; ++x) {
        EXPECT_TRUE(x >= 0 && y >= 0 && x < kGrid && y < kGrid) << x << "," << y;
        if (x < 0 || y < 0 || x >= kGrid || y >= kGrid) continue;
        EXPECT_FALSE(g[y][x]) << "pixel " << x << "," << y << " walked twice";
        g[y][x] = true;
      }
  }
  return g;
}

DesktopRect RandomRect(std::mt19937& rng, int limit) {
  std::uniform_int_distribution<int> coord(0, limit);
  int l = coord(rng), r = coord(rng), t = coord(rng), b = coord(rng);
  if (l > r) std::swap(l, r);
  if (t > b) std::swap(t, b);
  return {l, t, r, b};
}

TEST(ScreenRegionTest, RandomOperationsMatchPixelGrid) {
  std::mt19937 rng(20240611);
  for (int round = 0; round < 200; ++round) {
    ScreenRegion region;
    Grid model = Empty();
    ScreenRegion other;
    Grid otherModel = Empty();
    for (int step = 0; step < 12; ++step) {
      DesktopRect r = RandomRect(rng, 30);
      int op = std::uniform_int_distribution<int>(0, 9)(rng);
      if (op < 5) {
        region.Include(r);
        Paint(model, r);
      } else if (op < 7) {
        other.Include(r);
        Paint(otherModel, r);
        region.IncludeRegion(other);
        for (int y = 0; y < kGrid; ++y)
          for (int x = 0; x < kGrid; ++x) model[y][x] = model[y][x] || otherModel[y][x];
      } else if (op == 7) {
        region.KeepOnlyRect(r);
        Grid keep = Empty();
        Paint(keep, r);
        for (int y = 0; y < kGrid; ++y)
          for (int x = 0; x < kGrid; ++x) model[y][x] = model[y][x] && keep[y][x];
      } else if (op == 8) {
        region.KeepOnly(other);
        for (int y = 0; y < kGrid; ++y)
          for (int x = 0; x < kGrid; ++x) model[y][x] = model[y][x] && otherModel[y][x];
      } else {
        int dx = std::uniform_int_distribution<int>(-3, 3)(rng);
        int dy = std::uniform_int_distribution<int>(-3, 3)(rng);
        // Keep the shifted region inside the grid: trim first.
        region.KeepOnlyRect({3, 3, kGrid - 3, kGrid - 3});
        Grid shifted = Empty();
        for (int y = 3; y < kGrid - 3; ++y)
          for (int x = 3; x < kGrid - 3; ++x)
            if (model[y][x]) shifted[y + dy][x + dx] = true;
        region.Shift(dx, dy);
        model = shifted;
      }
      ExpectWellFormed(region);
      ASSERT_EQ(Rasterize(region), model) << "round " << round << " step " << step;
    }
    ScreenRegion copy(region);
    EXPECT_TRUE(copy.Equals(region));
    ScreenRegion intersection;
    intersection.IntersectOf(region, other);
    ExpectWellFormed(intersection);
    Grid both = Empty();
    for (int y = 0; y < kGrid; ++y)
      for (int x = 0; x < kGrid; ++x) both[y][x] = model[y][x] && otherModel[y][x];
    ASSERT_EQ(Rasterize(intersection), both);
  }
}

TEST(ScreenRegionTest, ExchangeAndCopyAreDeep) {
  ScreenRegion a(DesktopRect{0, 0, 5, 5});
  ScreenRegion b(DesktopRect{10, 10, 20, 20});
  ScreenRegion copy = a;
  a.Include({5, 0, 6, 5});
  EXPECT_FALSE(copy.Equals(a));
  a.Exchange(b);
  EXPECT_EQ(Walk(a), (std::vector<DesktopRect>{{10, 10, 20, 20}}));
  EXPECT_EQ(Walk(b), (std::vector<DesktopRect>{{0, 0, 6, 5}}));
  a.Reset({1, 1, 2, 2});
  EXPECT_EQ(Walk(a), (std::vector<DesktopRect>{{1, 1, 2, 2}}));
}

}  // namespace
}  // namespace capture
