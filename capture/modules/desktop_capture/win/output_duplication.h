// One duplicated monitor: acquires its next image without waiting, works out
// what changed from the move and dirty rectangles, turns a rotated monitor's
// image upright, and copies only the changed pixels into a consumer's frame.
// Several consumers (contexts) may capture one output at different moments;
// every change is added to every registered context's region.
//
// Thread safety: used only under the duplication hub's lock.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "capture/modules/desktop_capture/desktop_frame.h"
#include "capture/modules/desktop_capture/screen_region.h"
#include "capture/modules/desktop_capture/win/d3d_adapter_device.h"
#include "capture/modules/desktop_capture/win/surface_texture.h"

namespace capture {

class OutputDuplication {
 public:
  OutputDuplication(const D3dAdapterDevice& device, std::shared_ptr<platform::display::dxgi::Output> output,
                    const platform::display::dxgi::OutputDesc& desc);
  ~OutputDuplication();
  OutputDuplication(const OutputDuplication&) = delete;
  OutputDuplication& operator=(const OutputDuplication&) = delete;

  bool Initialize();
  // Brings `target` up to date for this output at `offset`, using and
  // emptying `contextRegion` (what this context has not seen yet).
  bool Capture(ScreenRegion* contextRegion, DesktopPoint offset, RefSharedFrame* target);
  // Registers a context's region and marks the whole output in it.
  void Setup(ScreenRegion* contextRegion);
  void Unregister(ScreenRegion* contextRegion);

  const std::string& deviceName() const { return deviceName_; }
  const DesktopRect& desktopRect() const { return desktopRect_; }
  int64_t framesCaptured() const { return framesCaptured_; }
  void TranslateRect(DesktopPoint offset) { desktopRect_.Offset(offset.x, offset.y); }
  int rotation() const { return rotation_; }

 private:
  DesktopRect wholeOutput() const { return DesktopRect::MakeSize(desktopRect_.size()); }
  void detectUpdatedRegion(const platform::display::dxgi::FrameInfo& info, ScreenRegion* region);

  D3dAdapterDevice device_;
  std::shared_ptr<platform::display::dxgi::Output> output_;
  std::string deviceName_;
  DesktopRect desktopRect_;
  std::shared_ptr<platform::display::dxgi::OutputDuplication> duplication_;
  platform::display::dxgi::DuplicationDesc desc_;
  std::vector<uint8_t> metadata_;
  std::unique_ptr<SurfaceTexture> texture_;
  int rotation_ = 0;
  DesktopExtent unrotatedSize_;
  std::vector<ScreenRegion*> contexts_;
  std::unique_ptr<RefSharedFrame> lastFrame_;
  DesktopPoint lastOffset_;
  int64_t framesCaptured_ = 0;
};

}  // namespace capture
