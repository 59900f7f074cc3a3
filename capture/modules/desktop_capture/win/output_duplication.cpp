#include "capture/modules/desktop_capture/win/output_duplication.h"

#include <algorithm>
#include <cstring>

#include "capture/modules/desktop_capture/desktop_frame_rotation.h"
#include "common/text_convert.h"

namespace capture {

namespace dxgi = platform::display::dxgi;

OutputDuplication::OutputDuplication(const D3dAdapterDevice& device, std::shared_ptr<dxgi::Output> output,
                                     const dxgi::OutputDesc& desc)
    : device_(device),
      output_(std::move(output)),
      deviceName_(qel::wideToUtf8(desc.deviceName)),
      desktopRect_{desc.desktopCoordinates.left, desc.desktopCoordinates.top, desc.desktopCoordinates.right,
                   desc.desktopCoordinates.bottom} {}

OutputDuplication::~OutputDuplication() {
  lastFrame_.reset();
  texture_.reset();
}

bool OutputDuplication::Initialize() {
  if (dxgi::Failed(output_->DuplicateOutput(device_.device, &duplication_)) || !duplication_) {
    duplication_.reset();
    return false;
  }
  duplication_->GetDesc(&desc_);
  if (desc_.format != dxgi::kFormatB8G8R8A8 || desc_.modeWidth != desktopRect_.width() ||
      desc_.modeHeight != desktopRect_.height()) {
    duplication_.reset();
    return false;
  }
  switch (desc_.rotation) {
    case dxgi::kModeRotationRotate90: rotation_ = kRotation90; break;
    case dxgi::kModeRotationRotate180: rotation_ = kRotation180; break;
    case dxgi::kModeRotationRotate270: rotation_ = kRotation270; break;
    default: rotation_ = kRotation0; break;
  }
  unrotatedSize_ = RotatedExtent(desktopRect_.size(), InverseRotation(rotation_));
  if (desc_.desktopImageInSystemMemory) {
    texture_ = std::make_unique<MappedSurfaceTexture>(duplication_);
  } else {
    texture_ = std::make_unique<StagedSurfaceTexture>(device_);
  }
  return true;
}

void OutputDuplication::Setup(ScreenRegion* contextRegion) {
  contexts_.push_back(contextRegion);
  contextRegion->Reset(wholeOutput());
}

void OutputDuplication::Unregister(ScreenRegion* contextRegion) {
  contexts_.erase(std::remove(contexts_.begin(), contexts_.end(), contextRegion), contexts_.end());
}

void OutputDuplication::detectUpdatedRegion(const dxgi::FrameInfo& info, ScreenRegion* region) {
  if (info.totalMetadataBufferSize == 0) {
    region->Reset(wholeOutput());
    return;
  }
  if (metadata_.size() < info.totalMetadataBufferSize) metadata_.resize(info.totalMetadataBufferSize);
  uint32_t moveBytes = 0;
  if (dxgi::Failed(duplication_->GetFrameMoveRects(static_cast<uint32_t>(metadata_.size()),
                                                   reinterpret_cast<dxgi::MoveRect*>(metadata_.data()), &moveBytes))) {
    region->Reset(wholeOutput());
    return;
  }
  uint32_t dirtyBytes = 0;
  if (dxgi::Failed(duplication_->GetFrameDirtyRects(
          static_cast<uint32_t>(metadata_.size() - moveBytes),
          reinterpret_cast<platform::display::Rect*>(metadata_.data() + moveBytes), &dirtyBytes))) {
    region->Reset(wholeOutput());
    return;
  }
  auto toRect = [](const platform::display::Rect& r) { return DesktopRect{r.left, r.top, r.right, r.bottom}; };
  const auto* moves = reinterpret_cast<const dxgi::MoveRect*>(metadata_.data());
  for (uint32_t i = 0; i < moveBytes / sizeof(dxgi::MoveRect); ++i) {
    DesktopRect destination = toRect(moves[i].destination);
    if (moves[i].sourceX == destination.left && moves[i].sourceY == destination.top) continue;
    DesktopRect source = DesktopRect::MakeOriginSize({moves[i].sourceX, moves[i].sourceY}, destination.size());
    region->Include(RotatedRect(source, unrotatedSize_, rotation_));
    region->Include(RotatedRect(destination, unrotatedSize_, rotation_));
  }
  const auto* dirty = reinterpret_cast<const platform::display::Rect*>(metadata_.data() + moveBytes);
  for (uint32_t i = 0; i < dirtyBytes / sizeof(platform::display::Rect); ++i)
    region->Include(RotatedRect(toRect(dirty[i]), unrotatedSize_, rotation_));
  region->KeepOnlyRect(wholeOutput());
}

bool OutputDuplication::Capture(ScreenRegion* contextRegion, DesktopPoint offset, RefSharedFrame* target) {
  if (!DesktopRect::MakeSize(target->size()).ContainsRect(DesktopRect::MakeOriginSize(offset, desktopRect_.size())))
    return false;

  dxgi::FrameInfo info;
  std::shared_ptr<dxgi::Resource> resource;
  dxgi::Result acquired = duplication_->AcquireNextFrame(0, &info, &resource);
  if (dxgi::Failed(acquired) && acquired != dxgi::kWaitTimeout) {
    resource.reset();
    return false;
  }

  ScreenRegion working;
  working.Exchange(*contextRegion);

  if (!dxgi::Failed(acquired) && info.accumulatedFrames != 0 && resource) {
    detectUpdatedRegion(info, contextRegion);
    for (ScreenRegion* other : contexts_)
      if (other != contextRegion) other->IncludeRegion(*contextRegion);
    if (!texture_->CopyFrom(info, resource)) return false;
    working.IncludeRegion(*contextRegion);

    const DesktopFrame& source = texture_->AsDesktopFrame();
    for (ScreenRegion::RectIterator it(working); !it.IsAtEnd(); it.Advance()) {
      DesktopRect rect = it.rect();
      if (rotation_ == kRotation0) {
        DesktopRect dest = rect;
        dest.Offset(offset.x, offset.y);
        target->CopyRectFromFrame(source, rect.topLeft(), dest);
      } else {
        DesktopRect sourceRect = RotatedRect(rect, desktopRect_.size(), InverseRotation(rotation_));
        CopyRotated(source, sourceRect, rotation_, offset, target);
      }
    }
    lastFrame_ = target->Share();
    lastOffset_ = offset;
    working.Shift(offset.x, offset.y);
    target->mutableUpdatedRegion()->IncludeRegion(working);
    ++framesCaptured_;
    // The image goes back only once the texture let go of it.
    if (!texture_->Release()) return false;
    return !dxgi::Failed(duplication_->ReleaseFrame());
  }

  if (lastFrame_) {
    for (ScreenRegion::RectIterator it(working); !it.IsAtEnd(); it.Advance()) {
      DesktopRect dest = it.rect();
      DesktopPoint from{dest.left + lastOffset_.x, dest.top + lastOffset_.y};
      dest.Offset(offset.x, offset.y);
      target->CopyRectFromFrame(*lastFrame_, from, dest);
    }
    working.Shift(offset.x, offset.y);
    target->mutableUpdatedRegion()->IncludeRegion(working);
  } else {
    contextRegion->Exchange(working);
  }
  if (!dxgi::Failed(acquired)) return !dxgi::Failed(duplication_->ReleaseFrame());
  return true;
}

}  // namespace capture
