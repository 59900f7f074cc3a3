// Capturer wrappers: what every wrapper passes on, the blank-frame guard,
// primary with backup, and the changed-region search against a brute-force
// block model.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <set>
#include <random>

#include "capture/modules/desktop_capture/blank_frame_guard.h"
#include "capture/modules/desktop_capture/changed_region_capturer.h"
#include "capture/modules/desktop_capture/forwarding_capturer.h"
#include "capture/modules/desktop_capture/primary_with_backup_capturer.h"
#include "capture/modules/desktop_capture/row_compare.h"

namespace capture {
namespace {

// A capturer that reports what the test queued.
class ScriptedCapturer : public DesktopCapturer {
 public:
  struct Step {
    CaptureResult result;
    std::unique_ptr<DesktopFrame> frame;
  };
  void BeginCapture(Callback* callback) override { callback_ = callback; }
  void CaptureFrame() override {
    ++captures;
    if (steps.empty()) {
      callback_->OnCaptureResult(CaptureResult::TemporaryError, nullptr);
      return;
    }
    Step step = std::move(steps.front());
    steps.pop_front();
    callback_->OnCaptureResult(step.result, std::move(step.frame));
  }
  bool ChooseSource(int64_t id) override {
    chosen = id;
    return chooseAnswer;
  }
  void UseSharedMemoryFactory(std::unique_ptr<SharedMemoryBlockFactory> given) override { factory = std::move(given); }
  bool IsPointCovered(DesktopPoint) override { return covered; }
  void ExcludeWindow(WindowHandle window) override { excluded = window; }
  bool ListSources(std::vector<SourceEntry>* sources) override {
    sources->push_back({7, "listed"});
    return true;
  }
  bool BringSourceToFront() override { return true; }

  std::deque<Step> steps;
  Callback* callback_ = nullptr;
  int captures = 0;
  int64_t chosen = -99;
  bool chooseAnswer = true;
  bool covered = false;
  WindowHandle excluded = 0;
  std::unique_ptr<SharedMemoryBlockFactory> factory;
};

class Keep : public DesktopCapturer::Callback {
 public:
  void OnCaptureResult(CaptureResult r, std::unique_ptr<DesktopFrame> f) override {
    results.push_back(r);
    frame = std::move(f);
  }
  std::vector<CaptureResult> results;
  std::unique_ptr<DesktopFrame> frame;
};

std::unique_ptr<DesktopFrame> Frame(int w, int h, uint32_t fill, bool wholeUpdated = true) {
  auto f = std::make_unique<HeapDesktopFrame>(DesktopExtent{w, h});
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) std::memcpy(f->PixelAt({x, y}), &fill, 4);
  if (wholeUpdated) f->mutableUpdatedRegion()->Reset({0, 0, w, h});
  return f;
}

void SetPixel(DesktopFrame* f, int x, int y, uint32_t v) { std::memcpy(f->PixelAt({x, y}), &v, 4); }

// Every call and answer passes through a wrapper; results come back through
// the wrapper's own OnCaptureResult.
TEST(ForwardingCapturerTest, CallsAndAnswersPassThrough) {
  class Counting : public ForwardingCapturer {
   public:
    using ForwardingCapturer::ForwardingCapturer;
    int results = 0;

   private:
    void OnCaptureResult(CaptureResult result, std::unique_ptr<DesktopFrame> frame) override {
      ++results;
      callback()->OnCaptureResult(result, std::move(frame));
    }
  };
  auto inner = std::make_unique<ScriptedCapturer>();
  ScriptedCapturer* script = inner.get();
  Counting wrapper(std::move(inner));
  EXPECT_EQ(wrapper.wrapped(), script);

  script->chooseAnswer = false;
  EXPECT_FALSE(wrapper.ChooseSource(3));
  EXPECT_EQ(script->chosen, 3);
  script->covered = true;
  EXPECT_TRUE(wrapper.IsPointCovered({1, 1}));
  EXPECT_TRUE(wrapper.BringSourceToFront());
  wrapper.ExcludeWindow(42);
  EXPECT_EQ(script->excluded, 42u);
  std::vector<DesktopCapturer::SourceEntry> sources;
  EXPECT_TRUE(wrapper.ListSources(&sources));
  EXPECT_EQ(sources, (std::vector<DesktopCapturer::SourceEntry>{{7, "listed"}}));
  class Factory : public SharedMemoryBlockFactory {
   public:
    std::unique_ptr<SharedMemoryBlock> CreateBlock(size_t) override { return nullptr; }
  };
  wrapper.UseSharedMemoryFactory(std::make_unique<Factory>());
  EXPECT_TRUE(script->factory);

  Keep out;
  wrapper.BeginCapture(&out);
  script->steps.push_back({CaptureResult::Success, Frame(8, 8, 0xFF010203)});
  wrapper.CaptureFrame();
  EXPECT_EQ(script->captures, 1);
  EXPECT_EQ(wrapper.results, 1);
  EXPECT_EQ(out.results, (std::vector<CaptureResult>{CaptureResult::Success}));
  ASSERT_TRUE(out.frame);
  EXPECT_EQ(out.frame->size().width, 8);
}

TEST(BlankFrameGuardTest, BlankSampling) {
  PixelColor black{};
  auto zero = Frame(100, 100, 0);
  EXPECT_TRUE(BlankFrameGuard::frameIsBlank(*zero, black));
  SetPixel(zero.get(), 10, 2, 0xFFFFFFFF);  // index 210
  EXPECT_FALSE(BlankFrameGuard::frameIsBlank(*zero, black));
  auto between = Frame(100, 100, 0);
  SetPixel(between.get(), 11, 2, 0xFFFFFFFF);  // index 211 is not sampled
  EXPECT_TRUE(BlankFrameGuard::frameIsBlank(*between, black));
  auto opaque = Frame(100, 100, 0xFF000000);  // alpha 255 against the blank's 0
  EXPECT_TRUE(BlankFrameGuard::frameIsBlank(*opaque, black));
  auto translucent = Frame(100, 100, 0x80000000);
  EXPECT_FALSE(BlankFrameGuard::frameIsBlank(*translucent, black));
  auto centre = Frame(100, 100, 0);
  SetPixel(centre.get(), 50, 50, 0x00000001);  // index 5050 is not a multiple of 105
  EXPECT_FALSE(BlankFrameGuard::frameIsBlank(*centre, black));
}

TEST(BlankFrameGuardTest, BlankFramesFailUntilTheFirstRealOne) {
  auto inner = std::make_unique<ScriptedCapturer>();
  ScriptedCapturer* script = inner.get();
  script->steps.push_back({CaptureResult::Success, Frame(50, 50, 0)});
  script->steps.push_back({CaptureResult::TemporaryError, nullptr});
  script->steps.push_back({CaptureResult::Success, Frame(50, 50, 0, false)});  // nothing updated: previous verdict
  script->steps.push_back({CaptureResult::Success, Frame(50, 50, 0xFF336699)});
  script->steps.push_back({CaptureResult::Success, Frame(50, 50, 0)});  // passes now
  BlankFrameGuard guard(std::move(inner), PixelColor{});
  Keep out;
  guard.BeginCapture(&out);
  for (int i = 0; i < 5; ++i) guard.CaptureFrame();
  EXPECT_EQ(out.results, (std::vector<CaptureResult>{CaptureResult::TemporaryError, CaptureResult::TemporaryError,
                                                     CaptureResult::TemporaryError, CaptureResult::Success,
                                                     CaptureResult::Success}));
  ASSERT_TRUE(out.frame);
  EXPECT_EQ(*reinterpret_cast<uint32_t*>(out.frame->data()), 0u);
}

TEST(PrimaryWithBackupTest, PermanentErrorLatchesTheBackup) {
  auto primary = std::make_unique<ScriptedCapturer>();
  auto backup = std::make_unique<ScriptedCapturer>();
  ScriptedCapturer* p = primary.get();
  ScriptedCapturer* b = backup.get();
  p->steps.push_back({CaptureResult::Success, Frame(4, 4, 1)});
  p->steps.push_back({CaptureResult::TemporaryError, nullptr});
  p->steps.push_back({CaptureResult::PermanentError, nullptr});
  for (int i = 0; i < 4; ++i) b->steps.push_back({CaptureResult::Success, Frame(4, 4, 2)});
  PrimaryWithBackupCapturer stack(std::move(primary), std::move(backup));
  Keep out;
  stack.BeginCapture(&out);
  stack.CaptureFrame();
  EXPECT_EQ(*reinterpret_cast<uint32_t*>(out.frame->data()), 1u);
  stack.CaptureFrame();  // a temporary failure: this frame from the backup
  EXPECT_EQ(*reinterpret_cast<uint32_t*>(out.frame->data()), 2u);
  EXPECT_FALSE(stack.primaryFailedForGood());
  stack.CaptureFrame();  // permanent: the backup from now on
  EXPECT_TRUE(stack.primaryFailedForGood());
  stack.CaptureFrame();
  stack.CaptureFrame();
  EXPECT_EQ(p->captures, 3);
  EXPECT_EQ(b->captures, 4);
  EXPECT_EQ(out.results, std::vector<CaptureResult>(5, CaptureResult::Success));
}

TEST(PrimaryWithBackupTest, ChooseSourceAnswersWithTheBackup) {
  auto primary = std::make_unique<ScriptedCapturer>();
  auto backup = std::make_unique<ScriptedCapturer>();
  ScriptedCapturer* p = primary.get();
  ScriptedCapturer* b = backup.get();
  PrimaryWithBackupCapturer stack(std::move(primary), std::move(backup));
  b->covered = true;
  EXPECT_TRUE(stack.IsPointCovered({1, 1}));
  EXPECT_TRUE(stack.ChooseSource(2));
  EXPECT_EQ(p->chosen, 2);
  p->chooseAnswer = false;
  EXPECT_TRUE(stack.ChooseSource(3));  // the backup's answer
  EXPECT_TRUE(stack.primaryFailedForGood());
  p->chosen = -1;
  EXPECT_TRUE(stack.ChooseSource(4));
  EXPECT_EQ(p->chosen, -1);  // not asked any more
  EXPECT_EQ(b->chosen, 4);
}

TEST(PrimaryWithBackupTest, FactoryIsSharedThroughProxies) {
  class Factory : public SharedMemoryBlockFactory {
   public:
    std::unique_ptr<SharedMemoryBlock> CreateBlock(size_t) override {
      ++made;
      return nullptr;
    }
    int made = 0;
  };
  auto primary = std::make_unique<ScriptedCapturer>();
  auto backup = std::make_unique<ScriptedCapturer>();
  ScriptedCapturer* p = primary.get();
  ScriptedCapturer* b = backup.get();
  PrimaryWithBackupCapturer stack(std::move(primary), std::move(backup));
  auto factory = std::make_unique<Factory>();
  Factory* raw = factory.get();
  stack.UseSharedMemoryFactory(std::move(factory));
  ASSERT_TRUE(p->factory && b->factory);
  p->factory->CreateBlock(1);
  b->factory->CreateBlock(1);
  EXPECT_EQ(raw->made, 2);
  stack.UseSharedMemoryFactory(nullptr);
  EXPECT_FALSE(p->factory);
  EXPECT_FALSE(b->factory);
}

TEST(RowCompareTest, Sse2AndPlainAgree) {
  std::mt19937 rng(7);
  uint8_t a[128], b[128];
  for (int round = 0; round < 2000; ++round) {
    for (int i = 0; i < 128; ++i) a[i] = b[i] = static_cast<uint8_t>(rng());
    int changes = round % 3;
    for (int c = 0; c < changes; ++c) b[rng() % 128] ^= static_cast<uint8_t>(1 + rng() % 255);
    bool plain = RowOf32DiffersPlain(a, b);
    EXPECT_EQ(plain, changes > 0 && std::memcmp(a, b, 128) != 0);
    if (CpuHasFeature(CpuFeature::kSse2)) {
      EXPECT_EQ(RowOf32DiffersSse2(a, b), plain);
    }
    EXPECT_EQ(RowOf32Differs(a, b), plain);
  }
  // Large differences must not saturate to zero.
  std::memset(a, 0, 128);
  std::memset(b, 255, 128);
  EXPECT_TRUE(RowOf32Differs(a, b));
}

// Pixels of `region` as a set of (x, y).
std::set<std::pair<int, int>> Pixels(const ScreenRegion& region) {
  std::set<std::pair<int, int>> out;
  for (ScreenRegion::RectIterator it(region); !it.IsAtEnd(); it.Advance())
    for (int y = it.rect().top; y < it.rect().bottom; ++y)
      for (int x = it.rect().left; x < it.rect().right; ++x) out.insert({x, y});
  return out;
}

TEST(ChangedRegionTest, MatchesBruteForceBlocksAtBandWidths) {
  std::mt19937 rng(11);
  for (int width : {1, 32, 33, 64, 100}) {
    for (int round = 0; round < 30; ++round) {
      SCOPED_TRACE(testing::Message() << "width " << width << " round " << round);
      const int W = 140, H = 90;
      auto previous = Frame(W, H, 0xFF000000);
      auto current = Frame(W, H, 0xFF000000);
      for (int n = int(rng() % 6); n > 0; --n)
        SetPixel(current.get(), int(rng() % W), int(rng() % H), static_cast<uint32_t>(rng() | 1));
      DesktopRect hint{int(rng() % 20), int(rng() % 20), 0, 0};
      hint.right = std::min(W, hint.left + width);
      hint.bottom = std::min(H, hint.top + 1 + int(rng() % 70));
      ScreenRegion found;
      ChangedRegionCapturer::compareRect(*previous, *current, hint, &found);
      // Model: 32 x 32 blocks from the hint's corner, each included whole
      // (clipped to the hint) when any of its pixels differs.
      ScreenRegion model;
      for (int by = hint.top; by < hint.bottom; by += 32)
        for (int bx = hint.left; bx < hint.right; bx += 32) {
          DesktopRect block{bx, by, std::min(bx + 32, hint.right), std::min(by + 32, hint.bottom)};
          bool differs = false;
          for (int y = block.top; y < block.bottom && !differs; ++y)
            for (int x = block.left; x < block.right && !differs; ++x)
              differs = std::memcmp(previous->PixelAt({x, y}), current->PixelAt({x, y}), 4) != 0;
          if (differs) model.Include(block);
        }
      ASSERT_EQ(Pixels(found), Pixels(model));
    }
  }
}

TEST(ChangedRegionTest, WrapperMarksWholeFirstAndAfterAStrideChange) {
  auto inner = std::make_unique<ScriptedCapturer>();
  ScriptedCapturer* script = inner.get();
  script->steps.push_back({CaptureResult::Success, Frame(64, 64, 5)});
  auto second = Frame(64, 64, 5);
  SetPixel(second.get(), 40, 3, 9);
  script->steps.push_back({CaptureResult::Success, std::move(second)});
  script->steps.push_back({CaptureResult::Success, Frame(65, 64, 5)});
  script->steps.push_back({CaptureResult::TemporaryError, nullptr});
  ChangedRegionCapturer wrapper(std::move(inner));
  Keep out;
  wrapper.BeginCapture(&out);
  wrapper.CaptureFrame();
  EXPECT_TRUE(out.frame->updatedRegion().Equals(ScreenRegion(DesktopRect{0, 0, 64, 64})));
  wrapper.CaptureFrame();
  EXPECT_TRUE(out.frame->updatedRegion().Equals(ScreenRegion(DesktopRect{32, 0, 64, 32})));
  wrapper.CaptureFrame();  // another size and stride: whole again
  EXPECT_TRUE(out.frame->updatedRegion().Equals(ScreenRegion(DesktopRect{0, 0, 65, 64})));
  wrapper.CaptureFrame();
  EXPECT_EQ(out.results.back(), CaptureResult::TemporaryError);
  EXPECT_FALSE(out.frame);
}

}  // namespace
}  // namespace capture
