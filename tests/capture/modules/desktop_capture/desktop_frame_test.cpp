// Frames: pixel copies and their fatal checks, frame info, shares, and
// rotation of rectangles and pixels against a naive rotation.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "capture/modules/desktop_capture/desktop_frame.h"
#include "capture/modules/desktop_capture/desktop_frame_rotation.h"

namespace capture {
namespace {

void FillPattern(DesktopFrame* frame, uint32_t seed) {
  std::mt19937 rng(seed);
  for (int y = 0; y < frame->size().height; ++y)
    for (int x = 0; x < frame->size().width; ++x) {
      uint32_t v = static_cast<uint32_t>(rng());
      std::memcpy(frame->PixelAt({x, y}), &v, 4);
    }
}

uint32_t Pixel(const DesktopFrame& frame, int x, int y) {
  uint32_t v;
  std::memcpy(&v, frame.PixelAt({x, y}), 4);
  return v;
}

TEST(DesktopFrameTest, HeapFrameIsZeroedWithTightStride) {
  HeapDesktopFrame frame({5, 3});
  EXPECT_EQ(frame.stride(), 20);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 5; ++x) EXPECT_EQ(Pixel(frame, x, y), 0u);
  EXPECT_TRUE(frame.updatedRegion().IsEmpty());
  EXPECT_EQ(frame.capturerId(), 0u);
  EXPECT_EQ(frame.sharedMemory(), nullptr);
}

TEST(DesktopFrameTest, CopyRectFromFrameCopiesOnlyTheRectangle) {
  HeapDesktopFrame source({8, 6});
  FillPattern(&source, 1);
  HeapDesktopFrame target({10, 10});
  target.CopyRectFromFrame(source, {2, 1}, {4, 5, 7, 9});
  for (int y = 0; y < 10; ++y)
    for (int x = 0; x < 10; ++x) {
      bool inside = x >= 4 && x < 7 && y >= 5 && y < 9;
      EXPECT_EQ(Pixel(target, x, y), inside ? Pixel(source, x - 2, y - 4) : 0u) << x << "," << y;
    }
}

TEST(DesktopFrameDeathTest, CopiesOutsideTheFramesAreFatal) {
  HeapDesktopFrame source({8, 6});
  HeapDesktopFrame target({10, 10});
  EXPECT_DEATH(
      target.CopyRectFromBuffer(source.data(), source.stride(), {5, 5, 11, 6}),
      "desktop_frame, line 44\n.*Check failed: DesktopRect::MakeSize\\(size\\(\\)\\)\\.ContainsRect\\(dest_rect\\)");
  EXPECT_DEATH(target.CopyRectFromFrame(source, {4, 0}, {0, 0, 5, 1}),
               "desktop_frame, line 59\n.*Check failed: DesktopRect::MakeSize\\(src_frame\\.size\\(\\)\\)");
}

TEST(RefSharedFrameTest, SharesCarryInfoAndKeepPixelsAlive) {
  auto heap = std::make_unique<HeapDesktopFrame>(DesktopExtent{4, 4});
  heap->setTopLeft({7, 8});
  FillPattern(heap.get(), 2);
  uint32_t corner = Pixel(*heap, 3, 3);
  auto own = RefSharedFrame::Wrap(std::move(heap));
  EXPECT_EQ(own->topLeft(), (DesktopPoint{7, 8}));
  EXPECT_FALSE(own->IsShared());
  own->setDpi({96, 96});
  own->mutableUpdatedRegion()->Include({0, 0, 1, 1});
  own->setCapturerId(kCapturerIdGdi);
  auto share = own->Share();
  EXPECT_TRUE(own->IsShared());
  EXPECT_EQ(share->data(), own->data());
  EXPECT_EQ(share->dpi(), (DesktopPoint{96, 96}));
  EXPECT_EQ(share->capturerId(), kCapturerIdGdi);
  EXPECT_TRUE(share->updatedRegion().Equals(own->updatedRegion()));
  own.reset();  // the capturer's own frame goes first
  EXPECT_FALSE(share->IsShared());
  EXPECT_EQ(Pixel(*share, 3, 3), corner);
}

class CountingFactory : public SharedMemoryBlockFactory {
 public:
  class Block : public SharedMemoryBlock {
   public:
    Block(size_t size, int* live) : SharedMemoryBlock(std::malloc(size), size, 42), live_(live) { ++*live_; }
    ~Block() override {
      std::free(data());
      --*live_;
    }

   private:
    int* live_;
  };
  std::unique_ptr<SharedMemoryBlock> CreateBlock(size_t size) override {
    if (refuse) return nullptr;
    lastSize = size;
    return std::make_unique<Block>(size, &live);
  }
  bool refuse = false;
  size_t lastSize = 0;
  int live = 0;
};

TEST(SharedBlockFrameTest, MadeFromFactoryAndOwnsBlock) {
  CountingFactory factory;
  {
    auto frame = SharedBlockFrame::Make({6, 2}, &factory);
    ASSERT_TRUE(frame);
    EXPECT_EQ(factory.lastSize, 48u);
    EXPECT_EQ(frame->stride(), 24);
    ASSERT_NE(frame->sharedMemory(), nullptr);
    EXPECT_EQ(frame->sharedMemory()->handle(), 42u);
    EXPECT_EQ(factory.live, 1);
  }
  EXPECT_EQ(factory.live, 0);
  factory.refuse = true;
  EXPECT_EQ(SharedBlockFrame::Make({6, 2}, &factory), nullptr);
}

TEST(RotationTest, RectanglesExtentsAndInverses) {
  EXPECT_EQ(RotatedRect({0, 0, 10, 5}, {100, 50}, 1), (DesktopRect{45, 0, 50, 10}));
  EXPECT_EQ(RotatedRect({0, 0, 10, 5}, {100, 50}, 2), (DesktopRect{90, 45, 100, 50}));
  EXPECT_EQ(RotatedRect({0, 0, 10, 5}, {100, 50}, 3), (DesktopRect{0, 90, 5, 100}));
  EXPECT_EQ(RotatedRect({1, 2, 3, 4}, {100, 50}, 0), (DesktopRect{1, 2, 3, 4}));
  EXPECT_EQ(RotatedRect({1, 2, 3, 4}, {100, 50}, 5), (DesktopRect{}));
  EXPECT_EQ(InverseRotation(1), 3);
  EXPECT_EQ(InverseRotation(2), 2);
  EXPECT_EQ(InverseRotation(3), 1);
  EXPECT_EQ(InverseRotation(7), 0);
  EXPECT_EQ(RotatedExtent({4, 3}, 3), (DesktopExtent{3, 4}));
  EXPECT_EQ(RotatedExtent({4, 3}, 2), (DesktopExtent{4, 3}));
  EXPECT_EQ(RotatedExtent({4, 3}, 9), (DesktopExtent{}));
}

// Where a source pixel (x, y) of a w x h image lands after `rotation`
// clockwise quarter turns.
DesktopPoint NaiveRotate(int x, int y, int w, int h, int rotation) {
  switch (rotation) {
    case 1: return {h - 1 - y, x};
    case 2: return {w - 1 - x, h - 1 - y};
    case 3: return {y, w - 1 - x};
    default: return {x, y};
  }
}

TEST(RotationTest, CopyRotatedMatchesNaiveRotationAtOddSizes) {
  const DesktopExtent sizes[] = {{7, 5}, {1, 9}, {13, 3}};
  for (DesktopExtent size : sizes) {
    for (int rotation = 0; rotation < 4; ++rotation) {
      SCOPED_TRACE(testing::Message() << size.width << "x" << size.height << " rotation " << rotation);
      HeapDesktopFrame source(size);
      FillPattern(&source, 7 + rotation);
      DesktopExtent out = RotatedExtent(size, rotation);
      const DesktopPoint offset{2, 1};
      HeapDesktopFrame target({out.width + 4, out.height + 3});
      CopyRotated(source, DesktopRect::MakeSize(size), rotation, offset, &target);
      for (int y = 0; y < size.height; ++y)
        for (int x = 0; x < size.width; ++x) {
          DesktopPoint p = NaiveRotate(x, y, size.width, size.height, rotation);
          ASSERT_EQ(Pixel(target, p.x + offset.x, p.y + offset.y), Pixel(source, x, y)) << x << "," << y;
        }
      EXPECT_EQ(Pixel(target, 0, 0), 0u);  // outside the target rectangle nothing is written
    }
  }
}

TEST(RotationTest, CopyRotatedOfASubRectangle) {
  HeapDesktopFrame source({9, 7});
  FillPattern(&source, 3);
  const DesktopRect part{2, 1, 5, 6};
  HeapDesktopFrame target({7, 9});
  CopyRotated(source, part, 1, {0, 0}, &target);
  DesktopRect placed = RotatedRect(part, source.size(), 1);
  for (int y = part.top; y < part.bottom; ++y)
    for (int x = part.left; x < part.right; ++x) {
      DesktopPoint p = NaiveRotate(x, y, 9, 7, 1);
      ASSERT_TRUE(placed.ContainsRect({p.x, p.y, p.x + 1, p.y + 1}));
      ASSERT_EQ(Pixel(target, p.x, p.y), Pixel(source, x, y));
    }
}

}  // namespace
}  // namespace capture
