// The CPU's view of an acquired desktop image: mapped in place when the
// duplication keeps the image in system memory, else copied into a staging
// texture the CPU can read (reused while the image description stays).
//
// Thread safety: used under the duplication hub's lock.
#pragma once

#include <memory>

#include "capture/modules/desktop_capture/desktop_frame.h"
#include "capture/modules/desktop_capture/win/d3d_adapter_device.h"

namespace capture {

// A frame over mapped texture memory; it does not own its pixels and its stride
// is the mapping's pitch. Never handed to a client.
class TextureDesktopFrame : public DesktopFrame {
 public:
  TextureDesktopFrame(DesktopExtent size, int pitch, uint8_t* bits) : DesktopFrame(size, pitch, bits, nullptr) {}
};

class SurfaceTexture {
 public:
  virtual ~SurfaceTexture() = default;
  // Makes the acquired image readable; false on failure.
  bool CopyFrom(const platform::display::dxgi::FrameInfo& info,
                const std::shared_ptr<platform::display::dxgi::Resource>& resource);
  // The readable image (valid until Release).
  const DesktopFrame& AsDesktopFrame();
  // Gives the mapping back; false when that failed.
  bool Release();

 protected:
  virtual bool CopyFromTexture(const platform::display::dxgi::FrameInfo& info,
                               const std::shared_ptr<platform::display::dxgi::Texture2D>& texture) = 0;
  virtual bool DoRelease() = 0;

  platform::display::dxgi::MappedRect rect_;

 private:
  DesktopExtent size_;
  std::unique_ptr<TextureDesktopFrame> frame_;
};

class MappedSurfaceTexture : public SurfaceTexture {
 public:
  explicit MappedSurfaceTexture(std::shared_ptr<platform::display::dxgi::OutputDuplication> duplication)
      : duplication_(std::move(duplication)) {}

 protected:
  bool CopyFromTexture(const platform::display::dxgi::FrameInfo& info,
                       const std::shared_ptr<platform::display::dxgi::Texture2D>& texture) override;
  bool DoRelease() override;

 private:
  std::shared_ptr<platform::display::dxgi::OutputDuplication> duplication_;
};

class StagedSurfaceTexture : public SurfaceTexture {
 public:
  explicit StagedSurfaceTexture(const D3dAdapterDevice& device) : device_(device) {}

 protected:
  bool CopyFromTexture(const platform::display::dxgi::FrameInfo& info,
                       const std::shared_ptr<platform::display::dxgi::Texture2D>& texture) override;
  bool DoRelease() override;

 private:
  D3dAdapterDevice device_;
  std::shared_ptr<platform::display::dxgi::Texture2D> stage_;
  std::shared_ptr<platform::display::dxgi::Surface> surface_;
};

}  // namespace capture
