#include "platform/ui/ui_extras.h"

#include <atomic>
#include <cstdio>
#include <limits>
#include <map>
#include <memory>
#include <mutex>

#include "platform/core/mm_timer.h"
#include "platform/display/display.h"
#include "platform/ui/active_monitors.h"

namespace platform::ui {

namespace {

struct WindowTimer {
  HWND window;
  uintptr_t id;
  std::atomic<bool> pending{false};  // a WM_TIMER of this timer waits in the queue
};

struct Timers {
  std::mutex mutex;
  std::map<std::pair<HWND, uintptr_t>, std::pair<uint32_t, std::unique_ptr<WindowTimer>>> timers;
};

Timers& timers() {
  static Timers* instance = new Timers;
  return *instance;
}

void tick(uint32_t, void* user) {
  auto* t = static_cast<WindowTimer*>(user);
  // Ticks that pass while the window's thread is busy are one message, not a
  // pile that would then run back to back.
  if (!t->pending.exchange(true) && !PostMessage(t->window, WM_TIMER, t->id, 0)) t->pending = false;
}

std::mutex boxesMutex;
std::vector<ShownMessageBox> boxes;

}  // namespace

bool SetTimer(HWND window, uintptr_t id, uint32_t periodMs) {
  if (!IsWindow(window)) return false;
  KillTimer(window, id);  // setting an existing timer again restarts it
  auto data = std::make_unique<WindowTimer>();
  data->window = window;
  data->id = id;
  const uint32_t mm = TimeSetEvent(periodMs == 0 ? 1 : periodMs, 0, &tick, data.get(), TimerKind::Periodic);
  if (mm == 0) return false;
  Timers& t = timers();
  std::lock_guard<std::mutex> lock(t.mutex);
  t.timers[{window, id}] = {mm, std::move(data)};
  return true;
}

bool KillTimer(HWND window, uintptr_t id) {
  uint32_t mm = 0;
  std::unique_ptr<WindowTimer> data;
  {
    Timers& t = timers();
    std::lock_guard<std::mutex> lock(t.mutex);
    auto it = t.timers.find({window, id});
    if (it == t.timers.end()) return false;
    mm = it->second.first;
    data = std::move(it->second.second);
    t.timers.erase(it);
  }
  TimeKillEvent(mm);  // no tick runs after this; then the data may go
  return true;
}

void KillWindowTimers(HWND window) {
  std::vector<uintptr_t> ids;
  {
    Timers& t = timers();
    std::lock_guard<std::mutex> lock(t.mutex);
    for (const auto& [key, value] : t.timers) {
      if (key.first == window) ids.push_back(key.second);
    }
  }
  for (uintptr_t id : ids) KillTimer(window, id);
}

bool TimerAlive(HWND window, uintptr_t id) {
  Timers& t = timers();
  std::lock_guard<std::mutex> lock(t.mutex);
  auto it = t.timers.find({window, id});
  if (it == t.timers.end()) return false;
  it->second.second->pending = false;  // its message is being delivered
  return true;
}

int MessageBox(HWND, const std::string& text, const std::string& caption, uint32_t type) {
  std::fprintf(stderr, "[%s] %s\n", caption.c_str(), text.c_str());
  std::lock_guard<std::mutex> lock(boxesMutex);
  boxes.push_back({text, caption, type});
  return IDOK;
}

std::vector<ShownMessageBox> ShownMessageBoxes() {
  std::lock_guard<std::mutex> lock(boxesMutex);
  return boxes;
}

void ClearShownMessageBoxes() {
  std::lock_guard<std::mutex> lock(boxesMutex);
  boxes.clear();
}

HMONITOR MonitorFromWindow(HWND window, uint32_t) {
  Rect r{};
  if (!GetWindowRect(window, r)) return 0;
  const int cx = (r.left + r.right) / 2;
  const int cy = (r.top + r.bottom) / 2;
  HMONITOR nearest = 0;
  int64_t best = std::numeric_limits<int64_t>::max();
  ForEachActiveMonitor([&](const ActiveMonitor& monitor) {
    // Distance from the window's centre to the monitor (0 inside it).
    const Rect& m = monitor.rect;
    const int64_t dx = cx < m.left ? m.left - cx : (cx >= m.right ? cx - (m.right - 1) : 0);
    const int64_t dy = cy < m.top ? m.top - cy : (cy >= m.bottom ? cy - (m.bottom - 1) : 0);
    const int64_t d = dx * dx + dy * dy;
    if (d < best) {
      best = d;
      nearest = monitor.index + 1;
    }
    return true;
  });
  return nearest;
}

bool GetMonitorInfo(HMONITOR monitor, MonitorInfoEx* info) {
  if (monitor == 0 || info == nullptr || info->cbSize != sizeof(MonitorInfoEx)) return false;
  display::DisplayDevice device;
  display::DeviceMode mode;
  if (!display::EnumDisplayDevices(static_cast<uint32_t>(monitor - 1), &device) ||
      !display::EnumDisplaySettingsCurrent(device.name, &mode)) {
    return false;
  }
  info->rcMonitor = {mode.x, mode.y, mode.x + mode.width, mode.y + mode.height};
  info->rcWork = info->rcMonitor;
  info->dwFlags = (device.stateFlags & display::kDisplayDevicePrimary) ? MONITORINFOF_PRIMARY : 0;
  for (char16_t& c : info->szDevice) c = 0;
  for (size_t i = 0; i < device.name.size() && i < 31; ++i) info->szDevice[i] = static_cast<char16_t>(device.name[i]);
  return true;
}

}  // namespace platform::ui
