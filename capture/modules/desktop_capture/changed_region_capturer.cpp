#include "capture/modules/desktop_capture/changed_region_capturer.h"

#include <cstring>

#include "capture/base/clock.h"
#include "capture/modules/desktop_capture/row_compare.h"

namespace capture {

namespace {
constexpr int kBlock = 32;
}

ChangedRegionCapturer::ChangedRegionCapturer(std::unique_ptr<DesktopCapturer> capturer)
    : ForwardingCapturer(std::move(capturer)) {}

void ChangedRegionCapturer::compareBand(const uint8_t* previous, const uint8_t* current, int stride, int left,
                                        int right, int top, int bottom, ScreenRegion* region) {
  const int width = right - left;
  const int rows = bottom - top;
  const int fullBlocks = (width - 1) / kBlock;
  const int lastWidth = width - kBlock * fullBlocks;
  const int bytesPerBlock = kBlock * DesktopFrame::kBytesPerPixel;
  int runStart = -1;
  for (int block = 0; block < fullBlocks; ++block) {
    if (BlockDiffers(previous + block * bytesPerBlock, current + block * bytesPerBlock, stride, rows)) {
      if (runStart < 0) runStart = block;
    } else if (runStart >= 0) {
      region->Include({left + kBlock * runStart, top, left + kBlock * block, bottom});
      runStart = -1;
    }
  }
  const uint8_t* lastPrevious = previous + fullBlocks * bytesPerBlock;
  const uint8_t* lastCurrent = current + fullBlocks * bytesPerBlock;
  bool lastChanged = false;
  if (lastWidth == kBlock) {
    lastChanged = BlockDiffers(lastPrevious, lastCurrent, stride, rows);
  } else {
    for (int y = 0; y < rows && !lastChanged; ++y)
      lastChanged = std::memcmp(lastPrevious + static_cast<ptrdiff_t>(stride) * y,
                                lastCurrent + static_cast<ptrdiff_t>(stride) * y,
                                static_cast<size_t>(lastWidth) * DesktopFrame::kBytesPerPixel) != 0;
  }
  if (lastChanged) {
    region->Include({left + kBlock * (runStart >= 0 ? runStart : fullBlocks), top, right, bottom});
    return;
  }
  if (runStart >= 0) region->Include({left + kBlock * runStart, top, left + kBlock * fullBlocks, bottom});
}

void ChangedRegionCapturer::compareRect(const DesktopFrame& previous, const DesktopFrame& current, DesktopRect rect,
                                        ScreenRegion* region) {
  rect.ClipTo(DesktopRect::MakeSize(previous.size()));
  if (rect.IsDegenerate()) return;
  const int height = rect.height();
  const int fullBands = (height - 1) / kBlock;
  const int lastRows = (height - 1) % kBlock + 1;
  for (int band = 0; band <= fullBands; ++band) {
    int top = rect.top + band * kBlock;
    int bottom = top + (band < fullBands ? kBlock : lastRows);
    DesktopPoint corner{rect.left, top};
    compareBand(previous.PixelAt(corner), current.PixelAt(corner), previous.stride(), rect.left, rect.right, top,
                bottom, region);
  }
}

void ChangedRegionCapturer::OnCaptureResult(CaptureResult result, std::unique_ptr<DesktopFrame> frame) {
  int64_t start = ClockNanos();
  if (!frame) {
    callback()->OnCaptureResult(result, nullptr);
    return;
  }
  std::unique_ptr<RefSharedFrame> shared = RefSharedFrame::Wrap(std::move(frame));
  if (previous_ && (!(previous_->size() == shared->size()) || previous_->stride() != shared->stride()))
    previous_.reset();
  if (previous_) {
    ScreenRegion hints;
    hints.Exchange(*shared->mutableUpdatedRegion());
    for (ScreenRegion::RectIterator it(hints); !it.IsAtEnd(); it.Advance())
      compareRect(*previous_, *shared, it.rect(), shared->mutableUpdatedRegion());
  } else {
    shared->mutableUpdatedRegion()->Reset(DesktopRect::MakeSize(shared->size()));
  }
  previous_ = shared->Share();
  shared->setCaptureTimeMs(shared->captureTimeMs() + (ClockNanos() - start) / 1'000'000);
  callback()->OnCaptureResult(result, std::move(shared));
}

}  // namespace capture
