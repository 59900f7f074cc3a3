#include "capture/api/video/i420_buffer.h"

#include "capture/base/memory/aligned_malloc.h"

namespace capture {
namespace {
constexpr size_t kBufferAlignment = 64;
}

PlanarI420Buffer::PlanarI420Buffer(int width, int height)
    : width_(width), height_(height), pitchY_(width), pitchU_((width + 1) / 2), pitchV_((width + 1) / 2) {
  block_ = static_cast<uint8_t*>(AlignedMalloc(blockSize(), kBufferAlignment));
}

PlanarI420Buffer::~PlanarI420Buffer() { AlignedRelease(block_); }

RefPtr<PlanarI420Buffer> PlanarI420Buffer::Create(int width, int height) {
  return RefPtr<PlanarI420Buffer>(new PlanarI420Buffer(width, height));
}

bool PlanarI420Buffer::Release() const {
  if (count_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    delete this;
    return false;
  }
  return true;
}

}  // namespace capture
