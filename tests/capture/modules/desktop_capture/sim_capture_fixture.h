// Shared pieces of the capturer tests on the simulated display: a fixture that
// starts from a clean display and checks for leaks and protocol violations, a
// callback that keeps the last frame, a shared-memory factory backed by display
// sections, and scene painting and comparison.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "capture/modules/desktop_capture/desktop_capturer.h"
#include "capture/modules/desktop_capture/shared_memory.h"
#include "platform/core/faults.h"
#include "platform/display/display.h"
#include "platform/display/gdi.h"
#include "platform/display/sim_display.h"

namespace capture::test {

namespace sim = platform::display::sim;

class SimCaptureTest : public testing::Test {
 protected:
  void SetUp() override {
    platform::display::SelectBacking(platform::Backing::Simulated);
    sim::Reset();
    platform::resetFaults();
    platform::clearViolations();
  }
  void TearDown() override {
    EXPECT_EQ(platform::violations(), std::vector<std::string>{});
    EXPECT_EQ(sim::LiveGdiObjects(), 0);
    EXPECT_EQ(sim::LiveDuplicationObjects(), 0);
    platform::resetFaults();
  }
};

class Collector : public DesktopCapturer::Callback {
 public:
  void OnCaptureResult(CaptureResult result, std::unique_ptr<DesktopFrame> frame) override {
    EXPECT_EQ(result == CaptureResult::Success, frame != nullptr);
    results.push_back(result);
    last = std::move(frame);
  }
  CaptureResult lastResult() const { return results.empty() ? CaptureResult::TemporaryError : results.back(); }
  std::vector<CaptureResult> results;
  std::unique_ptr<DesktopFrame> last;
};

// Hands out blocks in display sections, as a host sharing frames with another
// process would, and counts them.
class SectionBlockFactory : public SharedMemoryBlockFactory {
 public:
  class Block : public SharedMemoryBlock {
   public:
    Block(void* data, size_t size, uint64_t section) : SharedMemoryBlock(data, size, section) {}
    ~Block() override { platform::display::CloseSection(handle()); }
  };
  std::unique_ptr<SharedMemoryBlock> CreateBlock(size_t size) override {
    void* data = nullptr;
    uint64_t section = platform::display::CreateSection(size, &data);
    ++made;
    return std::make_unique<Block>(data, size, section);
  }
  int made = 0;
};

// Paints opaque random rectangles on every device with a framebuffer.
inline void PaintScene(uint32_t seed, int rectangles = 12) {
  std::mt19937 rng(seed);
  auto devices = sim::Devices();
  for (size_t i = 0; i < devices.size(); ++i) {
    if (!devices[i].mode) continue;
    int w = devices[i].mode->width(), h = devices[i].mode->height();
    sim::Fill(i, {0, 0, w, h}, 0xFF000000u | (rng() & 0xFFFFFF));
    for (int r = 0; r < rectangles; ++r) {
      int x = int(rng() % w), y = int(rng() % h);
      int rw = 1 + int(rng() % (w / 2 + 1)), rh = 1 + int(rng() % (h / 2 + 1));
      sim::Fill(i, {x, y, x + rw, y + rh}, 0xFF000000u | (rng() & 0xFFFFFF));
    }
    // Distinct corners make a wrong rotation or offset show.
    sim::SetPixel(i, 0, 0, 0xFF0000FF);
    sim::SetPixel(i, w - 1, 0, 0xFF00FF00);
    sim::SetPixel(i, 0, h - 1, 0xFFFF0000);
  }
}

inline uint32_t FramePixel(const DesktopFrame& frame, int x, int y) {
  uint32_t v;
  std::memcpy(&v, frame.PixelAt({x, y}), 4);
  return v;
}

// Whether `frame` shows the virtual screen starting at (left, top); reports
// the first difference.
inline testing::AssertionResult ShowsScreen(const DesktopFrame& frame, int left, int top) {
  for (int y = 0; y < frame.size().height; ++y)
    for (int x = 0; x < frame.size().width; ++x) {
      uint32_t want = sim::ScreenPixel(left + x, top + y);
      uint32_t got = FramePixel(frame, x, y);
      if (want != got)
        return testing::AssertionFailure()
               << "pixel " << x << "," << y << " is " << std::hex << got << ", screen has " << want;
    }
  return testing::AssertionSuccess();
}

}  // namespace capture::test
