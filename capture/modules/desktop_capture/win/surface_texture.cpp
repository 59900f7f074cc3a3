#include "capture/modules/desktop_capture/win/surface_texture.h"

#include "capture/base/histogram.h"

namespace capture {

namespace dxgi = platform::display::dxgi;

bool SurfaceTexture::CopyFrom(const dxgi::FrameInfo& info, const std::shared_ptr<dxgi::Resource>& resource) {
  std::shared_ptr<dxgi::Texture2D> texture;
  if (dxgi::Failed(resource->QueryTexture(&texture)) || !texture) return false;
  dxgi::TextureDesc desc;
  texture->GetDesc(&desc);
  size_ = {desc.width, desc.height};
  frame_.reset();
  return CopyFromTexture(info, texture);
}

const DesktopFrame& SurfaceTexture::AsDesktopFrame() {
  if (!frame_) frame_ = std::make_unique<TextureDesktopFrame>(size_, rect_.pitch, rect_.bits);
  return *frame_;
}

bool SurfaceTexture::Release() {
  frame_.reset();
  return DoRelease();
}

bool MappedSurfaceTexture::CopyFromTexture(const dxgi::FrameInfo&, const std::shared_ptr<dxgi::Texture2D>&) {
  if (dxgi::Failed(duplication_->MapDesktopSurface(&rect_))) {
    rect_ = {};
    return false;
  }
  return true;
}

bool MappedSurfaceTexture::DoRelease() { return !dxgi::Failed(duplication_->UnMapDesktopSurface()); }

bool StagedSurfaceTexture::CopyFromTexture(const dxgi::FrameInfo&, const std::shared_ptr<dxgi::Texture2D>& texture) {
  dxgi::TextureDesc desc;
  texture->GetDesc(&desc);
  desc.mipLevels = 1;
  desc.arraySize = 1;
  desc.sampleCount = 1;
  desc.sampleQuality = 0;
  desc.usage = dxgi::kUsageStaging;
  desc.bindFlags = 0;
  desc.cpuAccessFlags = dxgi::kCpuAccessRead;
  desc.miscFlags = 0;
  if (stage_) {
    dxgi::TextureDesc current;
    stage_->GetDesc(&current);
    bool differs = !(current == desc);
    CountBooleanHistogram("Capture.DesktopCapture.StagingTextureRecreate", differs);
    if (differs) {
      surface_.reset();
      stage_.reset();
    }
  }
  if (!stage_) {
    if (dxgi::Failed(device_.device->CreateTexture2D(desc, &stage_)) || !stage_) {
      stage_.reset();
      return false;
    }
    if (dxgi::Failed(stage_->QuerySurface(&surface_)) || !surface_) {
      surface_.reset();
      stage_.reset();
      return false;
    }
  }
  device_.context->CopyResource(stage_, texture);
  if (dxgi::Failed(surface_->Map(&rect_, dxgi::kMapRead))) {
    rect_ = {};
    return false;
  }
  return true;
}

bool StagedSurfaceTexture::DoRelease() {
  if (dxgi::Failed(surface_->Unmap())) {
    // Made again on the next copy.
    surface_.reset();
    stage_.reset();
  }
  return true;
}

}  // namespace capture
