#include "platform/display/magnification.h"

#include <map>
#include <mutex>
#include <vector>

#include "platform/core/faults.h"
#include "platform/core/modules.h"
#include "platform/display/display_internal.h"

namespace platform::display::mag {
namespace {

struct State {
  std::mutex mutex;
  int initializations = 0;
  std::map<WindowId, ScalingCallback> callbacks;
  std::map<WindowId, WindowId> excluded;
  sim::MagnifierKnobs knobs;
};

State& state() {
  static State instance;
  return instance;
}

bool injected(const char* call) { return injectedFault(call).has_value(); }

}  // namespace

int MagInitialize() {
  if (injected("mag.MagInitialize")) return 0;
  std::lock_guard lock(state().mutex);
  ++state().initializations;
  return 1;
}

int MagUninitialize() {
  std::lock_guard lock(state().mutex);
  if (state().initializations == 0) {
    reportViolation("mag: MagUninitialize without MagInitialize");
    return 0;
  }
  if (--state().initializations == 0) {
    state().callbacks.clear();
    state().excluded.clear();
  }
  return 1;
}

int MagSetImageScalingCallback(WindowId window, ScalingCallback callback) {
  if (injected("mag.MagSetImageScalingCallback")) return 0;
  std::lock_guard lock(state().mutex);
  if (state().initializations == 0 || !IsLiveWindow(window)) return 0;
  state().callbacks[window] = callback;
  return 1;
}

int MagSetWindowFilterList(WindowId window, uint32_t mode, int count, WindowId* windows) {
  if (injected("mag.MagSetWindowFilterList")) return 0;
  std::lock_guard lock(state().mutex);
  if (state().initializations == 0 || !IsLiveWindow(window) || mode != kFilterModeExclude || count < 1) return 0;
  state().excluded[window] = windows[0];
  return 1;
}

int MagSetWindowSource(WindowId window, Rect source) {
  if (injected("mag.MagSetWindowSource")) return 0;
  ScalingCallback callback = nullptr;
  sim::MagnifierKnobs knobs;
  {
    std::lock_guard lock(state().mutex);
    if (state().initializations == 0 || !IsLiveWindow(window)) return 0;
    auto it = state().callbacks.find(window);
    if (it != state().callbacks.end()) callback = it->second;
    knobs = state().knobs;
  }
  if (source.empty()) return 0;
  // The screen under the source rectangle; excluded windows are not drawn by
  // this layer, so leaving one out changes nothing here.
  const int w = source.width(), h = source.height();
  std::vector<uint8_t> pixels(size_t(w) * h * 4);
  if (!internal::GrabScreen(source, pixels.data(), w * 4)) return 0;
  if (callback != nullptr) {
    ImageHeader header;
    header.width = knobs.zeroSizedHeader ? 0 : static_cast<uint32_t>(w);
    header.height = static_cast<uint32_t>(h);
    header.format = knobs.wrongFormat ? Guid{} : kPixelFormat32bppRgba;
    header.stride = static_cast<uint32_t>(w * 4);
    header.cbSize = uint64_t(w) * h * static_cast<uint64_t>(knobs.bytesPerPixel);
    callback(window, pixels.data(), header, nullptr, header, source, source, nullptr);
  }
  return 1;
}

namespace {
// "Magnification.dll" as the capture code loads it.
const bool registered = [] {
  RegisterPseudoModule("Magnification.dll",
                       {{"MagInitialize", reinterpret_cast<void*>(&MagInitialize)},
                        {"MagUninitialize", reinterpret_cast<void*>(&MagUninitialize)},
                        {"MagSetWindowSource", reinterpret_cast<void*>(&MagSetWindowSource)},
                        {"MagSetWindowFilterList", reinterpret_cast<void*>(&MagSetWindowFilterList)},
                        {"MagSetImageScalingCallback", reinterpret_cast<void*>(&MagSetImageScalingCallback)}});
  return true;
}();
}  // namespace

}  // namespace platform::display::mag

namespace platform::display::sim {

void SetMagnifierKnobs(const MagnifierKnobs& knobs) {
  std::lock_guard lock(mag::state().mutex);
  mag::state().knobs = knobs;
}

int MagnifierInitializations() {
  std::lock_guard lock(mag::state().mutex);
  return mag::state().initializations;
}

WindowId MagnifierExcludedWindow(WindowId window) {
  std::lock_guard lock(mag::state().mutex);
  auto it = mag::state().excluded.find(window);
  return it == mag::state().excluded.end() ? nullptr : it->second;
}

}  // namespace platform::display::sim
