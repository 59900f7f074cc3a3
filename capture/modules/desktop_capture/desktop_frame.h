// A captured picture: 4 bytes a pixel in memory order blue, green, red, alpha
// (libyuv's 'ARGB'), rows top-down, with where it sits on the virtual screen,
// which part changed since the capturer's previous frame, its DPI, how long the
// capture took and which capturer made it.
//
// Kinds of storage: HeapDesktopFrame (own zeroed array), SharedBlockFrame (a
// shared-memory block), DibSectionFrame (a DIB section of the display layer)
// and RefSharedFrame (a counted share of another frame's pixels).
//
// Thread safety: a frame is used by one thread at a time; only the share count
// of a RefSharedFrame is atomic, so shares may die on another thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "capture/modules/desktop_capture/desktop_geometry.h"
#include "capture/modules/desktop_capture/screen_region.h"
#include "capture/modules/desktop_capture/shared_memory.h"

namespace capture {

// FourCC ids of the capturers, as the frames carry them.
inline constexpr uint32_t kCapturerIdGdi = 0x20494447;   // "GDI "
inline constexpr uint32_t kCapturerIdDxgi = 0x49475844;  // "DXGI"

class DesktopFrame {
 public:
  static constexpr int kBytesPerPixel = 4;

  virtual ~DesktopFrame() = default;
  DesktopFrame(const DesktopFrame&) = delete;
  DesktopFrame& operator=(const DesktopFrame&) = delete;

  uint8_t* data() const { return data_; }
  SharedMemoryBlock* sharedMemory() const { return sharedMemory_; }
  const DesktopExtent& size() const { return size_; }
  int stride() const { return stride_; }

  const ScreenRegion& updatedRegion() const { return updatedRegion_; }
  ScreenRegion* mutableUpdatedRegion() { return &updatedRegion_; }
  const DesktopPoint& topLeft() const { return topLeft_; }
  void setTopLeft(DesktopPoint point) { topLeft_ = point; }
  const DesktopPoint& dpi() const { return dpi_; }
  void setDpi(DesktopPoint dpi) { dpi_ = dpi; }
  int64_t captureTimeMs() const { return captureTimeMs_; }
  void setCaptureTimeMs(int64_t ms) { captureTimeMs_ = ms; }
  uint32_t capturerId() const { return capturerId_; }
  void setCapturerId(uint32_t id) { capturerId_ = id; }
  const std::vector<uint8_t>& colorProfile() const { return colorProfile_; }

  // The pixel at `point` (not checked).
  uint8_t* PixelAt(DesktopPoint point) const {
    return data_ + static_cast<ptrdiff_t>(stride_) * point.y + kBytesPerPixel * point.x;
  }
  // Copies the rectangle `dest` from `source` (rows `sourceStride` apart). A
  // rectangle outside the frame ends the process (fatal check).
  void CopyRectFromBuffer(const uint8_t* source, int sourceStride, const DesktopRect& dest);
  // Copies `dest`'s size from `source` at `sourcePos` to `dest`. Both
  // rectangles must lie inside their frames (fatal check).
  void CopyRectFromFrame(const DesktopFrame& source, DesktopPoint sourcePos, const DesktopRect& dest);
  // Copies DPI, capture time, capturer id, updated region, top-left and colour profile.
  void TakeInfoFrom(const DesktopFrame& other);

 protected:
  DesktopFrame(DesktopExtent size, int stride, uint8_t* data, SharedMemoryBlock* sharedMemory)
      : data_(data), sharedMemory_(sharedMemory), size_(size), stride_(stride) {}

 private:
  uint8_t* data_;
  SharedMemoryBlock* sharedMemory_;
  DesktopExtent size_;
  int stride_;
  ScreenRegion updatedRegion_;
  DesktopPoint topLeft_;
  DesktopPoint dpi_;
  int64_t captureTimeMs_ = 0;
  uint32_t capturerId_ = 0;
  std::vector<uint8_t> colorProfile_;
};

// Pixels in a zero-filled array of its own; stride width x 4.
class HeapDesktopFrame : public DesktopFrame {
 public:
  explicit HeapDesktopFrame(DesktopExtent size);

 private:
  HeapDesktopFrame(DesktopExtent size, std::unique_ptr<uint8_t[]> pixels);
  std::unique_ptr<uint8_t[]> pixels_;
};

// Pixels in a shared-memory block it owns.
class SharedBlockFrame : public DesktopFrame {
 public:
  SharedBlockFrame(DesktopExtent size, int stride, std::unique_ptr<SharedMemoryBlock> block);
  // A frame over a new block of width x height x 4 bytes from `factory`; null
  // when the factory gives none.
  static std::unique_ptr<DesktopFrame> Make(DesktopExtent size, SharedMemoryBlockFactory* factory);

 private:
  std::unique_ptr<SharedMemoryBlock> block_;
};

// Pixels in a top-down 32-bit DIB section of the display layer (inside a
// shared-memory block when a factory is given), so that BitBlt can fill them.
class DibSectionFrame : public DesktopFrame {
 public:
  ~DibSectionFrame() override;
  // Null when the block or the bitmap cannot be made.
  static std::unique_ptr<DibSectionFrame> Make(DesktopExtent size, SharedMemoryBlockFactory* factory, uint64_t dc);
  uint64_t bitmap() const { return bitmap_; }

 private:
  DibSectionFrame(DesktopExtent size, uint8_t* data, uint64_t bitmap, std::unique_ptr<SharedMemoryBlock> block);
  uint64_t bitmap_;
  std::unique_ptr<SharedMemoryBlock> block_;
};

// A counted share of a frame's pixels. The capturers keep their ring frames
// wrapped this way and hand shares to the callback: no pixels are copied, and
// the pixels live until the last share dies.
class RefSharedFrame : public DesktopFrame {
 public:
  ~RefSharedFrame() override;

  // Takes ownership of `frame` and makes the first share of it.
  static std::unique_ptr<RefSharedFrame> Wrap(std::unique_ptr<DesktopFrame> frame);
  // Another share of the same pixels, carrying this share's frame info.
  std::unique_ptr<RefSharedFrame> Share();
  // True when another share of the pixels exists.
  bool IsShared() const;
  DesktopFrame* UnderlyingFrame() const;

 private:
  class Core;
  explicit RefSharedFrame(Core* core);
  Core* core_;
};

}  // namespace capture
