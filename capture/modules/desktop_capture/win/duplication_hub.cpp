#include "capture/modules/desktop_capture/win/duplication_hub.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>
#include <thread>

#include "capture/base/clock.h"
#include "capture/modules/desktop_capture/screen_list.h"
#include "platform/display/gdi.h"

namespace capture {

namespace display = platform::display;

DuplicationTarget::~DuplicationTarget() { hub_->unregisterContext(&context_); }

bool DuplicationTarget::Prepare(DesktopExtent size, int monitorId) {
  if (monitorId != lastMonitor_) {
    hub_->unregisterContext(&context_);
    lastMonitor_ = monitorId;
  }
  if (size_.Changed(size)) frame_.reset();
  if (!frame_) {
    std::unique_ptr<DesktopFrame> frame;
    if (factory_ != nullptr) {
      frame = SharedBlockFrame::Make(size, factory_);
      if (!frame) return false;
      for (int y = 0; y < size.height; ++y)
        std::memset(frame->data() + static_cast<ptrdiff_t>(frame->stride()) * y, 0, size_t(size.width) * 4);
    } else {
      frame = std::make_unique<HeapDesktopFrame>(size);
    }
    frame_ = RefSharedFrame::Wrap(std::move(frame));
  }
  return frame_ != nullptr;
}

DuplicationHub* DuplicationHub::Acquire() {
  static DuplicationHub* hub = new DuplicationHub();  // lives for the process
  hub->references_.fetch_add(1);
  return hub;
}

void DuplicationHub::release() {
  if (references_.fetch_sub(1) == 1) {
    LockGuard guard(&lock_);
    deinitializeLocked();
  }
}

bool DuplicationHub::Supported() {
  DuplicationHub* hub = Acquire();
  bool supported;
  {
    LockGuard guard(&hub->lock_);
    supported = hub->initializeLocked() && hub->outputCount() > 0;
  }
  hub->release();
  return supported;
}

DuplicateResult DuplicationHub::CaptureAll(DuplicationTarget* target) {
  LockGuard guard(&lock_);
  return captureLocked(target, -1);
}

DuplicateResult DuplicationHub::CaptureScreen(DuplicationTarget* target, int outputIndex) {
  LockGuard guard(&lock_);
  return captureLocked(target, outputIndex);
}

DuplicateResult DuplicationHub::CaptureScreen(DuplicationTarget* target, const std::string& outputName) {
  LockGuard guard(&lock_);
  return captureLocked(target, -1, &outputName);
}

int DuplicationHub::outputIndexOf(const std::string& outputName) const {
  int index = 0;
  for (const auto& adapter : adapters_)
    for (int i = 0; i < adapter->outputCount(); ++i, ++index)
      if (adapter->output(i).deviceName() == outputName) return index;
  return -1;
}

bool DuplicationHub::OutputNames(std::vector<std::string>* names) {
  LockGuard guard(&lock_);
  if (!initializeLocked()) return false;
  for (const auto& adapter : adapters_)
    for (int i = 0; i < adapter->outputCount(); ++i) names->push_back(adapter->output(i).deviceName());
  return true;
}

void DuplicationHub::unregisterContext(DuplicationContext* context) {
  LockGuard guard(&lock_);
  if (context->identity == identity_ && context->regions.size() == adapters_.size()) {
    for (size_t a = 0; a < adapters_.size(); ++a) adapters_[a]->Unregister(&context->regions[a]);
  }
  context->identity = 0;
}

int DuplicationHub::outputCount() const {
  int count = 0;
  for (const auto& adapter : adapters_) count += adapter->outputCount();
  return count;
}

DesktopRect DuplicationHub::outputRect(int index) const {
  for (const auto& adapter : adapters_) {
    if (index < adapter->outputCount()) return adapter->output(index).desktopRect();
    index -= adapter->outputCount();
  }
  return DesktopRect{};
}

int64_t DuplicationHub::minFramesCaptured() const {
  int64_t least = std::numeric_limits<int64_t>::max();
  for (const auto& adapter : adapters_) least = std::min(least, adapter->minFramesCaptured());
  return least;
}

bool DuplicationHub::initializeLocked() {
  if (!adapters_.empty()) return true;
  std::vector<D3dAdapterDevice> devices = EnumerateD3dDevices();
  if (devices.empty()) return false;
  desktopRect_ = DesktopRect{};
  for (const auto& device : devices) {
    auto adapter = std::make_unique<AdapterDuplication>(device);
    if (!adapter->Initialize()) continue;
    desktopRect_.Enclose(adapter->desktopRect());
    adapters_.push_back(std::move(adapter));
  }
  translateToOrigin();
  display::Hdc dc = display::GetDC();
  dpi_ = {display::GetDeviceCaps(dc, display::kLogPixelsX), display::GetDeviceCaps(dc, display::kLogPixelsY)};
  if (dc != 0) display::ReleaseDC(dc);
  ++identity_;
  if (adapters_.empty()) {
    deinitializeLocked();
    return false;
  }
  return true;
}

void DuplicationHub::deinitializeLocked() {
  desktopRect_ = DesktopRect{};
  adapters_.clear();
  watcher_.Reset();
}

void DuplicationHub::translateToOrigin() {
  DesktopPoint offset{-desktopRect_.left, -desktopRect_.top};
  desktopRect_.Offset(offset.x, offset.y);
  for (auto& adapter : adapters_) adapter->TranslateRect(offset);
}

void DuplicationHub::setupContext(DuplicationContext* context) {
  if (context->identity == identity_ && context->regions.size() == adapters_.size()) return;
  context->regions.clear();
  context->regions.resize(adapters_.size());
  for (size_t a = 0; a < adapters_.size(); ++a) adapters_[a]->Setup(&context->regions[a]);
  context->identity = identity_;
}

bool DuplicationHub::duplicateAll(DuplicationContext* context, RefSharedFrame* target) {
  for (size_t a = 0; a < adapters_.size(); ++a)
    if (!adapters_[a]->Duplicate(&context->regions[a], target)) return false;
  return true;
}

bool DuplicationHub::ensureFirstFrame(DuplicationContext* context, DuplicationTarget* target) {
  if (minFramesCaptured() > 0) return true;
  RefSharedFrame* frame = target->frame();
  std::unique_ptr<RefSharedFrame> temporary;
  if (frame->size().width < desktopRect_.width() || frame->size().height < desktopRect_.height()) {
    temporary = RefSharedFrame::Wrap(std::make_unique<HeapDesktopFrame>(desktopRect_.size()));
    frame = temporary.get();
  }
  int64_t start = ClockMillis();
  while (true) {
    if (!duplicateAll(context, frame)) return false;
    if (minFramesCaptured() > 0) break;
    if (ClockMillis() - start > 500) return false;
    // A short pause between passes: the images come at the display's rate.
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (temporary) {
    // The warm-up consumed this context's changes into the temporary frame:
    // the target has seen nothing yet, so all of it is due.
    for (size_t a = 0; a < adapters_.size(); ++a)
      for (int o = 0; o < adapters_[a]->outputCount(); ++o)
        context->regions[a][static_cast<size_t>(o)].Reset(
            DesktopRect::MakeSize(adapters_[a]->output(o).desktopRect().size()));
  }
  return true;
}

DuplicateResult DuplicationHub::captureLocked(DuplicationTarget* target, int monitorId, const std::string* outputName) {
  if (watcher_.Changed()) deinitializeLocked();
  if (!initializeLocked()) {
    return capturesSucceeded_ > 0 || display::ProcessSessionId() != 0 ? DuplicateResult::InitFailed
                                                                      : DuplicateResult::SessionUnsupported;
  }
  if (outputName != nullptr) {
    // An index taken from an earlier output list may name another monitor
    // after a re-initialization (an output that failed to come up shifts the
    // rest): the chosen monitor is found by its name.
    monitorId = outputIndexOf(*outputName);
    if (monitorId < 0) return DuplicateResult::MonitorIdInvalid;
  }
  DesktopExtent size = monitorId < 0 ? desktopRect_.size() : outputRect(monitorId).size();
  if (!target->Prepare(size, monitorId)) return DuplicateResult::TargetPrepareFailed;

  RefSharedFrame* frame = target->frame();
  frame->mutableUpdatedRegion()->MakeEmpty();
  DuplicationContext* context = target->context();
  setupContext(context);
  bool ok = ensureFirstFrame(context, target);
  if (ok) {
    if (monitorId < 0) {
      ok = duplicateAll(context, frame);
    } else {
      ok = false;
      int index = monitorId;
      for (size_t a = 0; a < adapters_.size(); ++a) {
        if (index < adapters_[a]->outputCount()) {
          ok = adapters_[a]->DuplicateMonitor(&context->regions[a], index, frame);
          break;
        }
        index -= adapters_[a]->outputCount();
      }
    }
  }
  if (ok) {
    frame->setDpi(dpi_);
    ++capturesSucceeded_;
    return DuplicateResult::Ok;
  }
  if (monitorId < outputCount()) {
    deinitializeLocked();
    return DuplicateResult::DuplicateFailed;
  }
  return DuplicateResult::MonitorIdInvalid;
}

bool ScreensForDxgiNames(const std::vector<std::string>& outputNames,
                         std::vector<DesktopCapturer::SourceEntry>* screens) {
  std::vector<DesktopCapturer::SourceEntry> listed;
  std::vector<std::string> names;
  if (!ListActiveScreens(&listed, &names)) return false;
  int64_t nextId = -1;
  for (const auto& entry : listed) nextId = std::max(nextId, entry.id);
  for (const std::string& outputName : outputNames) {
    auto it = std::find(names.begin(), names.end(), outputName);
    if (it != names.end()) {
      screens->push_back(listed[static_cast<size_t>(it - names.begin())]);
    } else {
      screens->push_back({++nextId, std::string()});
    }
  }
  return true;
}

int DxgiIndexOfScreenId(int64_t screenId, const std::vector<std::string>& outputNames) {
  std::vector<DesktopCapturer::SourceEntry> screens;
  if (!ScreensForDxgiNames(outputNames, &screens)) return -1;
  for (size_t i = 0; i < screens.size(); ++i)
    if (screens[i].id == screenId) return static_cast<int>(i);
  return -1;
}

}  // namespace capture
