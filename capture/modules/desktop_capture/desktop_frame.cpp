#include "capture/modules/desktop_capture/desktop_frame.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "capture/base/checks.h"
#include "platform/display/gdi.h"

namespace capture {

void DesktopFrame::CopyRectFromBuffer(const uint8_t* source, int sourceStride, const DesktopRect& dest_rect) {
  CAPTURE_CHECK_AT("../../modules/desktop_capture/desktop_frame", 44,
                   DesktopRect::MakeSize(size()).ContainsRect(dest_rect));
  uint8_t* target = PixelAt(dest_rect.topLeft());
  size_t rowBytes = static_cast<size_t>(dest_rect.width()) * kBytesPerPixel;
  for (int y = 0; y < dest_rect.height(); ++y) {
    std::memmove(target, source, rowBytes);  // a frame may be copied onto itself
    source += sourceStride;
    target += stride();
  }
}

void DesktopFrame::CopyRectFromFrame(const DesktopFrame& src_frame, DesktopPoint src_pos,
                                     const DesktopRect& dest_rect) {
  CAPTURE_CHECK_AT(
      "../../modules/desktop_capture/desktop_frame", 59,
      DesktopRect::MakeSize(src_frame.size()).ContainsRect(DesktopRect::MakeOriginSize(src_pos, dest_rect.size())));
  CopyRectFromBuffer(src_frame.PixelAt(src_pos), src_frame.stride(), dest_rect);
}

void DesktopFrame::TakeInfoFrom(const DesktopFrame& other) {
  dpi_ = other.dpi_;
  captureTimeMs_ = other.captureTimeMs_;
  capturerId_ = other.capturerId_;
  updatedRegion_ = other.updatedRegion_;
  topLeft_ = other.topLeft_;
  colorProfile_ = other.colorProfile_;
}

namespace {
std::unique_ptr<uint8_t[]> ZeroedPixels(DesktopExtent size) {
  size_t bytes = static_cast<size_t>(std::max(size.width, 0)) * std::max(size.height, 0) * DesktopFrame::kBytesPerPixel;
  return std::make_unique<uint8_t[]>(bytes);  // value-initialised: zero
}
}  // namespace

HeapDesktopFrame::HeapDesktopFrame(DesktopExtent size) : HeapDesktopFrame(size, ZeroedPixels(size)) {}

HeapDesktopFrame::HeapDesktopFrame(DesktopExtent size, std::unique_ptr<uint8_t[]> pixels)
    : DesktopFrame(size, size.width * kBytesPerPixel, pixels.get(), nullptr), pixels_(std::move(pixels)) {}

SharedBlockFrame::SharedBlockFrame(DesktopExtent size, int stride, std::unique_ptr<SharedMemoryBlock> block)
    : DesktopFrame(size, stride, static_cast<uint8_t*>(block->data()), block.get()), block_(std::move(block)) {}

std::unique_ptr<DesktopFrame> SharedBlockFrame::Make(DesktopExtent size, SharedMemoryBlockFactory* factory) {
  size_t bytes = static_cast<size_t>(size.width) * size.height * kBytesPerPixel;
  auto block = factory->CreateBlock(bytes);
  if (!block) return nullptr;
  return std::make_unique<SharedBlockFrame>(size, size.width * kBytesPerPixel, std::move(block));
}

DibSectionFrame::DibSectionFrame(DesktopExtent size, uint8_t* data, uint64_t bitmap,
                                 std::unique_ptr<SharedMemoryBlock> block)
    : DesktopFrame(size, size.width * kBytesPerPixel, data, block.get()), bitmap_(bitmap), block_(std::move(block)) {}

DibSectionFrame::~DibSectionFrame() {
  // The bitmap goes first: it lives in the block.
  platform::display::DeleteObject(bitmap_);
}

std::unique_ptr<DibSectionFrame> DibSectionFrame::Make(DesktopExtent size, SharedMemoryBlockFactory* factory,
                                                       uint64_t dc) {
  size_t bytes = static_cast<size_t>(size.width) * size.height * kBytesPerPixel;
  std::unique_ptr<SharedMemoryBlock> block;
  if (factory != nullptr) {
    block = factory->CreateBlock(bytes);
    if (!block) return nullptr;
  }
  void* bits = nullptr;
  // A negative height asks for a top-down bitmap.
  uint64_t bitmap =
      platform::display::CreateDIBSection(dc, size.width, -size.height, block ? block->handle() : 0, 0, &bits);
  if (bitmap == 0 || bits == nullptr) return nullptr;
  return std::unique_ptr<DibSectionFrame>(
      new DibSectionFrame(size, static_cast<uint8_t*>(bits), bitmap, std::move(block)));
}

class RefSharedFrame::Core {
 public:
  explicit Core(std::unique_ptr<DesktopFrame> frame) : frame_(std::move(frame)) {}
  void AddRef() { count_.fetch_add(1, std::memory_order_relaxed); }
  // The last release deletes the core and with it the frame.
  void Release() {
    if (count_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }
  bool IsSoleReference() const { return count_.load(std::memory_order_acquire) == 1; }
  DesktopFrame* frame() const { return frame_.get(); }

 private:
  ~Core() = default;
  std::unique_ptr<DesktopFrame> frame_;
  std::atomic<int> count_{0};
};

RefSharedFrame::RefSharedFrame(Core* core)
    : DesktopFrame(core->frame()->size(), core->frame()->stride(), core->frame()->data(),
                   core->frame()->sharedMemory()),
      core_(core) {
  core_->AddRef();
}

RefSharedFrame::~RefSharedFrame() { core_->Release(); }

std::unique_ptr<RefSharedFrame> RefSharedFrame::Wrap(std::unique_ptr<DesktopFrame> frame) {
  DesktopFrame* raw = frame.get();
  std::unique_ptr<RefSharedFrame> shared(new RefSharedFrame(new Core(std::move(frame))));
  shared->TakeInfoFrom(*raw);
  return shared;
}

std::unique_ptr<RefSharedFrame> RefSharedFrame::Share() {
  std::unique_ptr<RefSharedFrame> share(new RefSharedFrame(core_));
  share->TakeInfoFrom(*this);
  return share;
}

bool RefSharedFrame::IsShared() const { return !core_->IsSoleReference(); }

DesktopFrame* RefSharedFrame::UnderlyingFrame() const { return core_->frame(); }

}  // namespace capture
