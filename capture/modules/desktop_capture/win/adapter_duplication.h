// The duplicated outputs of one adapter and the union of their rectangles.
//
// Thread safety: used only under the duplication hub's lock.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "capture/modules/desktop_capture/win/d3d_adapter_device.h"
#include "capture/modules/desktop_capture/win/output_duplication.h"

namespace capture {

class AdapterDuplication {
 public:
  explicit AdapterDuplication(const D3dAdapterDevice& device) : device_(device) {}

  // Duplicates every attached output with a desktop area; true when one works.
  bool Initialize();
  // Every output at its place on the desktop (its rectangle is its offset).
  bool Duplicate(std::vector<ScreenRegion>* regions, RefSharedFrame* target);
  // Output `index` at (0, 0); the target's top-left becomes the output's.
  bool DuplicateMonitor(std::vector<ScreenRegion>* regions, int index, RefSharedFrame* target);
  void Setup(std::vector<ScreenRegion>* regions);
  void Unregister(std::vector<ScreenRegion>* regions);
  void TranslateRect(DesktopPoint offset);

  int outputCount() const { return static_cast<int>(outputs_.size()); }
  const OutputDuplication& output(int index) const { return *outputs_[static_cast<size_t>(index)]; }
  const DesktopRect& desktopRect() const { return desktopRect_; }
  int64_t minFramesCaptured() const;

 private:
  D3dAdapterDevice device_;
  std::vector<std::unique_ptr<OutputDuplication>> outputs_;
  DesktopRect desktopRect_;
};

}  // namespace capture
