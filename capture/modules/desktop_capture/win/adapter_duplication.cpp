#include "capture/modules/desktop_capture/win/adapter_duplication.h"

#include <algorithm>
#include <limits>

namespace capture {

namespace dxgi = platform::display::dxgi;

// Failures other than the end of the list skip an index; an adapter that
// fails every index must not keep the walk going for ever.
constexpr uint32_t kMaxOutputs = 64;

bool AdapterDuplication::Initialize() {
  for (uint32_t index = 0; index < kMaxOutputs; ++index) {
    std::shared_ptr<dxgi::Output> output;
    dxgi::Result result = device_.adapter->EnumOutputs(index, &output);
    if (result == dxgi::kNotFound || result == dxgi::kNotCurrentlyAvailable) break;
    if (dxgi::Failed(result) || !output) continue;
    dxgi::OutputDesc desc;
    if (dxgi::Failed(output->GetDesc(&desc))) continue;
    if (!desc.attachedToDesktop || desc.desktopCoordinates.empty()) continue;
    auto duplication = std::make_unique<OutputDuplication>(device_, output, desc);
    if (!duplication->Initialize()) continue;
    desktopRect_.Enclose(duplication->desktopRect());
    outputs_.push_back(std::move(duplication));
  }
  return !outputs_.empty();
}

bool AdapterDuplication::Duplicate(std::vector<ScreenRegion>* regions, RefSharedFrame* target) {
  for (size_t i = 0; i < outputs_.size(); ++i) {
    if (!outputs_[i]->Capture(&(*regions)[i], outputs_[i]->desktopRect().topLeft(), target)) return false;
  }
  return true;
}

bool AdapterDuplication::DuplicateMonitor(std::vector<ScreenRegion>* regions, int index, RefSharedFrame* target) {
  auto& output = *outputs_[static_cast<size_t>(index)];
  if (!output.Capture(&(*regions)[static_cast<size_t>(index)], DesktopPoint{0, 0}, target)) return false;
  target->setTopLeft(output.desktopRect().topLeft());
  return true;
}

void AdapterDuplication::Setup(std::vector<ScreenRegion>* regions) {
  regions->clear();
  regions->resize(outputs_.size());  // addresses stay fixed while registered
  for (size_t i = 0; i < outputs_.size(); ++i) outputs_[i]->Setup(&(*regions)[i]);
}

void AdapterDuplication::Unregister(std::vector<ScreenRegion>* regions) {
  for (size_t i = 0; i < outputs_.size() && i < regions->size(); ++i) outputs_[i]->Unregister(&(*regions)[i]);
}

void AdapterDuplication::TranslateRect(DesktopPoint offset) {
  desktopRect_.Offset(offset.x, offset.y);
  for (auto& output : outputs_) output->TranslateRect(offset);
}

int64_t AdapterDuplication::minFramesCaptured() const {
  int64_t least = std::numeric_limits<int64_t>::max();
  for (const auto& output : outputs_) least = std::min(least, output->framesCaptured());
  return least;
}

}  // namespace capture
