// I420 buffers, aligned blocks and video frames; the planes of a converted
// picture read back by the real ffmpeg as yuv420p.
#include <gtest/gtest.h>

#include <libyuv.h>

#include <cstdint>
#include <fstream>
#include <utility>
#include <vector>

#include "capture/api/video/i420_buffer.h"
#include "capture/api/video/video_frame.h"
#include "capture/base/memory/aligned_malloc.h"
#include "common/subprocess.h"
#include "support/test_support.h"

namespace capture {
namespace {

TEST(AlignedMallocTest, RefusesBadArguments) {
  EXPECT_EQ(AlignedMalloc(0, 64), nullptr);
  EXPECT_EQ(AlignedMalloc(16, 0), nullptr);
  EXPECT_EQ(AlignedMalloc(16, 48), nullptr);
  AlignedRelease(nullptr);
}

TEST(AlignedMallocTest, AlignedWritableAndReleasable) {
  for (size_t alignment : {1u, 2u, 8u, 64u, 4096u}) {
    for (size_t size : {1u, 3u, 1000u}) {
      auto* p = static_cast<uint8_t*>(AlignedMalloc(size, alignment));
      ASSERT_NE(p, nullptr);
      EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % alignment, 0u);
      std::fill(p, p + size, 0xAB);  // the whole block is ours (heap checkers see overruns)
      AlignedRelease(p);
    }
  }
}

TEST(AlignedMallocDeathTest, FailedAllocationIsFatal) {
  EXPECT_DEATH(AlignedMalloc(SIZE_MAX - 8, 64),
               "# Check failed: memory_pointer\n# Couldn't allocate memory in AlignedMalloc");
}

struct LayoutCase {
  int width, height;
  int pitchY, pitchUV, chromaW, chromaH;
  size_t block;
  size_t offsetU, offsetV;
};

TEST(PlanarI420BufferTest, LayoutTable) {
  const LayoutCase cases[] = {
      {7, 5, 7, 4, 4, 3, 59, 35, 47},
      {1, 1, 1, 1, 1, 1, 3, 1, 2},
      {1920, 1080, 1920, 960, 960, 540, 1920 * 1080 * 3 / 2, 1920 * 1080, 1920 * 1080 + 960 * 540},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.width << "x" << c.height);
    auto buffer = PlanarI420Buffer::Create(c.width, c.height);
    ASSERT_TRUE(buffer);
    EXPECT_EQ(buffer->kind(), PlanarI420Buffer::kI420);
    EXPECT_EQ(buffer->width(), c.width);
    EXPECT_EQ(buffer->height(), c.height);
    EXPECT_EQ(buffer->pitchY(), c.pitchY);
    EXPECT_EQ(buffer->pitchU(), c.pitchUV);
    EXPECT_EQ(buffer->pitchV(), c.pitchUV);
    EXPECT_EQ(buffer->chromaWidth(), c.chromaW);
    EXPECT_EQ(buffer->chromaHeight(), c.chromaH);
    EXPECT_EQ(buffer->blockSize(), c.block);
    EXPECT_EQ(static_cast<size_t>(buffer->planeU() - buffer->planeY()), c.offsetU);
    EXPECT_EQ(static_cast<size_t>(buffer->planeV() - buffer->planeY()), c.offsetV);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(buffer->planeY()) % 64, 0u);
    std::fill(buffer->planeY(), buffer->planeY() + buffer->blockSize(), 1);
  }
}

TEST(PlanarI420BufferTest, ReferencesAreCounted) {
  auto buffer = PlanarI420Buffer::Create(4, 4);
  EXPECT_TRUE(buffer->IsSoleReference());
  {
    auto second = buffer->asI420Reference();
    EXPECT_FALSE(buffer->IsSoleReference());
    EXPECT_EQ(second.get(), buffer.get());
    EXPECT_EQ(buffer->asPlanar(), buffer.get());
  }
  EXPECT_TRUE(buffer->IsSoleReference());
}

VideoFrame MakeFrameOf(const RefPtr<PlanarI420Buffer>& buffer) {
  return VideoFrameParams().SetBuffer(buffer).SetRotation(0).SetCaptureTimeUs(0).MakeFrame();
}

TEST(VideoFrameTest, FrameHoldsOneReferenceAndGetBufferAnother) {
  VideoFrame frame = MakeFrameOf(PlanarI420Buffer::Create(8, 8));
  EXPECT_EQ(frame.id(), 0);
  EXPECT_EQ(frame.rotation(), 0);
  EXPECT_EQ(frame.captureTimeUs(), 0);
  EXPECT_FALSE(frame.colorSpace().has_value());
  EXPECT_FALSE(frame.updateRect().has_value());
  EXPECT_FALSE(frame.timing().has_value());
  PlanarI420Buffer* raw = frame.GetBuffer().get();
  {
    auto held = frame.GetBuffer();
    EXPECT_FALSE(raw->IsSoleReference());
  }
  EXPECT_TRUE(raw->IsSoleReference());
}

TEST(VideoFrameTest, MoveLeavesSourceWithoutBuffer) {
  auto buffer = PlanarI420Buffer::Create(8, 8);
  VideoFrame a = MakeFrameOf(buffer);
  buffer.reset();
  VideoFrame b(std::move(a));
  EXPECT_FALSE(a.GetBuffer());
  auto held = b.GetBuffer();
  ASSERT_TRUE(held);
  EXPECT_FALSE(held->IsSoleReference());  // b's own reference plus `held`
  { VideoFrame gone(std::move(a)); }      // destroying an emptied frame releases nothing
  EXPECT_FALSE(held->IsSoleReference());
  { VideoFrame last(std::move(b)); }  // the moved-to frame releases its one reference
  EXPECT_TRUE(held->IsSoleReference());
}

TEST(VideoFrameDeathTest, FrameWithoutBufferIsFatal) {
  EXPECT_DEATH(VideoFrameParams().MakeFrame(),
               "# Fatal error in: \\.\\./\\.\\./api/video/video_frame, line 165\n.*# Check failed: "
               "video_frame_buffer_ != nullptr\n# ");
}

// Converts a BGRA picture (left half white, right half pure red) with libyuv
// and has ffmpeg read the planes as yuv420p and write them back as RGB.
TEST(VideoFrameTest, ConvertedPlanesReadBackByFfmpeg) {
  const int w = 16, h = 8;
  std::vector<uint8_t> bgra(w * h * 4);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint8_t* p = &bgra[(y * w + x) * 4];
      bool white = x < w / 2;
      p[0] = white ? 255 : 0;  // blue
      p[1] = white ? 255 : 0;  // green
      p[2] = 255;              // red
      p[3] = 255;
    }
  auto buffer = PlanarI420Buffer::Create(w, h);
  ASSERT_EQ(libyuv::ConvertToI420(bgra.data(), bgra.size(), buffer->planeY(), buffer->pitchY(), buffer->planeU(),
                                  buffer->pitchU(), buffer->planeV(), buffer->pitchV(), 0, 0, w, h, w, h,
                                  libyuv::kRotate0, libyuv::FOURCC_ARGB),
            0);
  EXPECT_EQ(buffer->planeY()[0], 235);
  EXPECT_EQ(buffer->planeU()[0], 128);
  EXPECT_EQ(buffer->planeV()[0], 128);

  qel::test::TempDir dir;
  {
    std::ofstream out(dir.file("in.yuv"), std::ios::binary);
    out.write(reinterpret_cast<const char*>(buffer->planeY()), static_cast<std::streamsize>(buffer->blockSize()));
  }
  auto run =
      qel::runAndCapture({qel::test::ffmpegPath(), "-v", "error", "-y", "-f", "rawvideo", "-pix_fmt", "yuv420p", "-s",
                          "16x8", "-i", dir.file("in.yuv"), "-f", "rawvideo", "-pix_fmt", "rgb24", dir.file("out.rgb")},
                         true);
  ASSERT_TRUE(run.started) << run.error;
  ASSERT_EQ(run.exitCode, 0) << run.output;
  std::string rgb = qel::test::readFile(dir.file("out.rgb"));
  ASSERT_EQ(rgb.size(), static_cast<size_t>(w * h * 3));
  auto near = [](int a, int b) { return std::abs(a - b) <= 12; };
  auto at = [&](int x, int y, int c) { return static_cast<uint8_t>(rgb[(y * w + x) * 3 + c]); };
  for (int c = 0; c < 3; ++c) EXPECT_TRUE(near(at(2, 3, c), 255)) << "white, channel " << c << ": " << int(at(2, 3, c));
  EXPECT_TRUE(near(at(13, 3, 0), 255)) << int(at(13, 3, 0));
  EXPECT_TRUE(near(at(13, 3, 1), 0)) << int(at(13, 3, 1));
  EXPECT_TRUE(near(at(13, 3, 2), 0)) << int(at(13, 3, 2));
}

}  // namespace
}  // namespace capture
