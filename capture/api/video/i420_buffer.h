// The planar YUV 4:2:0 picture the recorder converts captured frames into and
// pipes to the encoder: 8-bit Y, U and V planes in one 64-byte-aligned block
// (Y rows of `width` bytes, then U and V rows of (width + 1) / 2 bytes, each
// chroma plane (height + 1) / 2 rows), with no padding between them. The block
// is not cleared when allocated.
//
// Lifetime: intrusively reference counted; Create hands out the first
// reference, the last Release deletes the buffer and its block.
// Thread safety: the count is atomic, so references may be taken and dropped on
// any thread; the planes are not guarded (the recorder's ring hands a buffer to
// one thread at a time).
#pragma once

#include <atomic>
#include <cstdint>

#include "capture/base/ref_ptr.h"

namespace capture {

class PlanarI420Buffer {
 public:
  static constexpr int kI420 = 1;

  // A buffer of `width` x `height` (both positive; not checked), count 1.
  static RefPtr<PlanarI420Buffer> Create(int width, int height);

  PlanarI420Buffer(const PlanarI420Buffer&) = delete;
  PlanarI420Buffer& operator=(const PlanarI420Buffer&) = delete;

  void AddRef() const { count_.fetch_add(1, std::memory_order_relaxed); }
  // Drops one reference; deletes the buffer when it was the last. Returns
  // whether references remain.
  bool Release() const;
  // True when exactly one reference exists.
  bool IsSoleReference() const { return count_.load(std::memory_order_acquire) == 1; }

  int kind() const { return kI420; }
  int width() const { return width_; }
  int height() const { return height_; }
  // A new reference to this buffer.
  RefPtr<PlanarI420Buffer> asI420Reference() { return RefPtr<PlanarI420Buffer>(this); }
  // This buffer, without a new reference.
  PlanarI420Buffer* asPlanar() { return this; }

  int chromaWidth() const { return (width() + 1) / 2; }
  int chromaHeight() const { return (height() + 1) / 2; }
  int pitchY() const { return pitchY_; }
  int pitchU() const { return pitchU_; }
  int pitchV() const { return pitchV_; }
  uint8_t* planeY() const { return block_; }
  uint8_t* planeU() const { return block_ + static_cast<size_t>(pitchY_) * height_; }
  uint8_t* planeV() const {
    return block_ + static_cast<size_t>(pitchY_) * height_ + static_cast<size_t>(pitchU_) * ((height_ + 1) / 2);
  }
  // Bytes in the block.
  size_t blockSize() const {
    return static_cast<size_t>(height_) * pitchY_ + static_cast<size_t>(pitchU_ + pitchV_) * ((height_ + 1) / 2);
  }

 private:
  PlanarI420Buffer(int width, int height);
  ~PlanarI420Buffer();

  int width_;
  int height_;
  int pitchY_;
  int pitchU_;
  int pitchV_;
  uint8_t* block_;
  mutable std::atomic<int> count_{0};
};

}  // namespace capture
