#include <algorithm>

#include "platform/display/backend.h"
#include "platform/display/sim_state.h"

namespace platform::display {
namespace internal {
namespace {

void resetLocked(SimState& s);

void makeFramebuffers(SimState& s) {
  s.framebuffers.assign(s.devices.size(), {});
  s.generations.resize(s.devices.size());
  for (auto& g : s.generations) ++g;
  for (size_t i = 0; i < s.devices.size(); ++i) {
    const auto& mode = s.devices[i].mode;
    if (!mode || mode->empty()) continue;
    s.framebuffers[i] = {mode->width(), mode->height(), std::vector<uint32_t>(size_t(mode->width()) * mode->height())};
  }
}

void resetLocked(SimState& s) {
  s.devices = {sim::MakeDevice(0, Rect{0, 0, 1920, 1080}, true)};
  makeFramebuffers(s);
  NoteDevicesReplacedLocked(s);
  s.knobs = {};
  s.dpi = 96;
  s.windows.clear();
  s.placements.clear();
  s.processes.clear();
  s.inputDesktop = L"Default";
  s.compositionEnabled = true;
  s.compositionCalls = 0;
  s.sessionId = 1;
}

uint32_t screenPixelLocked(SimState& s, int x, int y) {
  for (size_t i = 0; i < s.devices.size(); ++i) {
    const auto& d = s.devices[i];
    if (!d.listed || !d.active || !d.mode) continue;
    const Rect& m = *d.mode;
    if (x < m.left || y < m.top || x >= m.right || y >= m.bottom) continue;
    const auto& fb = s.framebuffers[i];
    return fb.pixels[size_t(y - m.top) * fb.width + (x - m.left)];
  }
  return 0;
}

class SimBackend : public Backend {
 public:
  Backing kind() const override { return Backing::Simulated; }

  bool device(uint32_t index, DisplayDevice* out) override {
    auto& s = simState();
    std::lock_guard lock(s.mutex);
    const sim::Device* found = nullptr;
    uint32_t seen = 0;
    for (const auto& candidate : s.devices) {
      if (!candidate.listed) continue;
      if (seen++ == index) {
        found = &candidate;
        break;
      }
    }
    if (found == nullptr) return false;
    const auto& d = *found;
    out->name = d.name;
    out->description = d.description;
    out->key = d.key;
    out->stateFlags = (d.active ? kDisplayDeviceActive : 0) | (d.primary ? kDisplayDevicePrimary : 0);
    return true;
  }

  bool currentMode(const std::wstring& name, DeviceMode* mode) override {
    auto& s = simState();
    std::lock_guard lock(s.mutex);
    for (const auto& d : s.devices) {
      if (d.name != name || !d.listed) continue;
      if (!d.active || !d.mode) return false;
      *mode = DeviceMode{d.mode->left, d.mode->top, d.mode->width(), d.mode->height(), d.rotation, 32};
      return true;
    }
    return false;
  }

  Rect virtualScreen() override {
    auto& s = simState();
    std::lock_guard lock(s.mutex);
    Rect box;
    bool any = false;
    for (const auto& d : s.devices) {
      if (!d.listed || !d.active || !d.mode || d.mode->empty()) continue;
      if (!any) {
        box = *d.mode;
        any = true;
      } else {
        box = {std::min(box.left, d.mode->left), std::min(box.top, d.mode->top), std::max(box.right, d.mode->right),
               std::max(box.bottom, d.mode->bottom)};
      }
    }
    return box;
  }

  int monitorCount() override {
    auto& s = simState();
    std::lock_guard lock(s.mutex);
    return static_cast<int>(std::count_if(s.devices.begin(), s.devices.end(), [](const sim::Device& d) {
      return d.listed && d.active && d.mode && !d.mode->empty();
    }));
  }

  int dpi() override {
    auto& s = simState();
    std::lock_guard lock(s.mutex);
    return s.dpi;
  }

  std::vector<Window> windows() override {
    auto& s = simState();
    std::lock_guard lock(s.mutex);
    std::vector<Window> out;
    for (const auto& [id, w] : s.windows) out.push_back(id);
    return out;
  }

  std::optional<WindowInfo> window(Window id) override {
    auto& s = simState();
    std::lock_guard lock(s.mutex);
    auto it = s.windows.find(id);
    if (it == s.windows.end()) return std::nullopt;
    return WindowInfo{it->second.title, it->second.className, it->second.pid, it->second.style};
  }

  std::optional<WindowPlacement> placement(Window id) override {
    auto& s = simState();
    std::lock_guard lock(s.mutex);
    if (s.windows.count(id) == 0) return std::nullopt;
    auto it = s.placements.find(id);
    return it == s.placements.end() ? WindowPlacement{} : it->second;
  }

  bool restore(Window id) override {
    auto& s = simState();
    std::lock_guard lock(s.mutex);
    if (s.windows.count(id) == 0) return false;
    s.placements[id].minimized = false;
    return true;
  }

  std::optional<std::wstring> processImagePath(uint32_t pid) override {
    auto& s = simState();
    std::lock_guard lock(s.mutex);
    auto it = s.processes.find(pid);
    if (it == s.processes.end()) return std::nullopt;
    return it->second;
  }

  bool grabScreen(const Rect& area, uint8_t* bits, int stride) override {
    auto& s = simState();
    std::lock_guard lock(s.mutex);
    for (int y = 0; y < area.height(); ++y) {
      auto* row = reinterpret_cast<uint32_t*>(bits + static_cast<ptrdiff_t>(stride) * y);
      for (int x = 0; x < area.width(); ++x) row[x] = screenPixelLocked(s, area.left + x, area.top + y);
    }
    return true;
  }

  std::wstring inputDesktop() override {
    auto& s = simState();
    std::lock_guard lock(s.mutex);
    return s.inputDesktop;
  }

  uint32_t sessionId() override {
    auto& s = simState();
    std::lock_guard lock(s.mutex);
    return s.sessionId;
  }
};

}  // namespace

SimState& simState() {
  static SimState* instance = [] {
    static SimState s;
    resetLocked(s);
    return &s;
  }();
  return *instance;
}

std::unique_ptr<Backend> MakeSimBackend() { return std::make_unique<SimBackend>(); }

}  // namespace internal

namespace sim {

using internal::simState;

Device MakeDevice(int index, Rect mode, bool primary) {
  Device d;
  d.name = L"\\\\.\\DISPLAY" + std::to_wstring(index + 1);
  d.key = L"SIM\\Monitor\\" + std::to_wstring(index);
  d.mode = mode;
  d.primary = primary;
  return d;
}

void Reset() {
  auto& s = simState();
  std::lock_guard lock(s.mutex);
  internal::resetLocked(s);
}

void SetDevices(std::vector<Device> devices) {
  auto& s = simState();
  std::lock_guard lock(s.mutex);
  s.devices = std::move(devices);
  internal::makeFramebuffers(s);
  internal::NoteDevicesReplacedLocked(s);
}

void UpdateDevice(size_t index, const Device& device) {
  auto& s = simState();
  std::lock_guard lock(s.mutex);
  if (index >= s.devices.size()) return;
  const sim::Device before = s.devices[index];
  s.devices[index] = device;
  if (before.mode != device.mode || before.rotation != device.rotation || before.active != device.active ||
      before.format != device.format || before.attached != device.attached)
    ++s.generations[index];  // a mode change: duplications of the device lose access
  auto& fb = s.framebuffers[index];
  if (!device.mode || device.mode->empty()) {
    fb = {};
  } else if (fb.width != device.mode->width() || fb.height != device.mode->height()) {
    fb = {device.mode->width(), device.mode->height(),
          std::vector<uint32_t>(size_t(device.mode->width()) * device.mode->height())};
  }
}

std::vector<Device> Devices() {
  auto& s = simState();
  std::lock_guard lock(s.mutex);
  return s.devices;
}

void SetDpi(int dpi) {
  auto& s = simState();
  std::lock_guard lock(s.mutex);
  s.dpi = dpi;
}

void Fill(size_t device, Rect rect, uint32_t color) {
  auto& s = simState();
  std::lock_guard lock(s.mutex);
  if (device >= s.framebuffers.size()) return;
  auto& fb = s.framebuffers[device];
  Rect clipped{std::max(rect.left, 0), std::max(rect.top, 0), std::min(rect.right, fb.width),
               std::min(rect.bottom, fb.height)};
  if (clipped.empty()) return;
  for (int y = clipped.top; y < clipped.bottom; ++y)
    for (int x = clipped.left; x < clipped.right; ++x) fb.pixels[size_t(y) * fb.width + x] = color;
  internal::NoteDamageLocked(s, device, clipped);
}

void Move(size_t device, Rect source, int destinationX, int destinationY) {
  auto& s = simState();
  std::lock_guard lock(s.mutex);
  if (device >= s.framebuffers.size()) return;
  auto& fb = s.framebuffers[device];
  Rect destination{destinationX, destinationY, destinationX + source.width(), destinationY + source.height()};
  Rect whole{0, 0, fb.width, fb.height};
  auto inside = [&](const Rect& r) {
    return r.left >= 0 && r.top >= 0 && r.right <= whole.right && r.bottom <= whole.bottom && !r.empty();
  };
  if (!inside(source) || !inside(destination)) return;
  std::vector<uint32_t> copy(fb.pixels);
  for (int y = 0; y < source.height(); ++y)
    for (int x = 0; x < source.width(); ++x)
      fb.pixels[size_t(destination.top + y) * fb.width + destination.left + x] =
          copy[size_t(source.top + y) * fb.width + source.left + x];
  internal::NoteMoveLocked(s, device, source, destination);
}

void SetPixel(size_t device, int x, int y, uint32_t color) { Fill(device, Rect{x, y, x + 1, y + 1}, color); }

uint32_t Pixel(size_t device, int x, int y) {
  auto& s = simState();
  std::lock_guard lock(s.mutex);
  if (device >= s.framebuffers.size()) return 0;
  const auto& fb = s.framebuffers[device];
  if (x < 0 || y < 0 || x >= fb.width || y >= fb.height) return 0;
  return fb.pixels[size_t(y) * fb.width + x];
}

uint32_t ScreenPixel(int x, int y) {
  auto& s = simState();
  std::lock_guard lock(s.mutex);
  return internal::screenPixelLocked(s, x, y);
}

void SetInputDesktop(const std::wstring& name) {
  auto& s = simState();
  std::lock_guard lock(s.mutex);
  s.inputDesktop = name;
}

bool CompositionEnabled() {
  auto& s = simState();
  std::lock_guard lock(s.mutex);
  return s.compositionEnabled;
}

int CompositionCalls() {
  auto& s = simState();
  std::lock_guard lock(s.mutex);
  return s.compositionCalls;
}

void SetSessionId(uint32_t session) {
  auto& s = simState();
  std::lock_guard lock(s.mutex);
  s.sessionId = session;
}

Window AddWindow(const WindowEntry& window) {
  auto& s = simState();
  std::lock_guard lock(s.mutex);
  Window id = s.nextWindow++;
  s.windows.emplace(id, window);
  return id;
}

void RemoveWindow(Window window) {
  auto& s = simState();
  std::lock_guard lock(s.mutex);
  s.windows.erase(window);
  s.placements.erase(window);
}

void SetWindowPlacement(Window window, const WindowPlacement& placement) {
  auto& s = simState();
  std::lock_guard lock(s.mutex);
  if (s.windows.count(window) != 0) s.placements[window] = placement;
}

std::optional<WindowPlacement> GetWindowPlacement(Window window) {
  auto& s = simState();
  std::lock_guard lock(s.mutex);
  if (s.windows.count(window) == 0) return std::nullopt;
  auto it = s.placements.find(window);
  return it == s.placements.end() ? WindowPlacement{} : it->second;
}

void AddProcess(uint32_t pid, const std::wstring& imagePath) {
  auto& s = simState();
  std::lock_guard lock(s.mutex);
  s.processes[pid] = imagePath;
}

void RemoveProcess(uint32_t pid) {
  auto& s = simState();
  std::lock_guard lock(s.mutex);
  s.processes.erase(pid);
}

}  // namespace sim
}  // namespace platform::display
