#include "platform/display/display.h"

#include <cstring>
#include <map>
#include <mutex>

#include "platform/core/faults.h"
#include "platform/core/last_error.h"
#include "platform/display/backend.h"
#include "platform/display/display_internal.h"
#include "platform/display/sim_display.h"

namespace platform::display {
namespace {

struct State {
  std::mutex mutex;
  std::unique_ptr<internal::Backend> backend;
  uint64_t nextProcessHandle = 1;
  std::map<ProcessHandle, uint32_t> processHandles;
};

State& state() {
  static State instance;
  return instance;
}

// The backend, chosen on first use. REQUIRES: state().mutex held.
internal::Backend& backendLocked() {
  auto& s = state();
  if (!s.backend) {
    // Real unless forced: a display that cannot be reached is reported, never
    // replaced by the simulated one.
    if (chooseBacking("display", [] { return true; }) == Backing::Real) {
      std::string unavailable;
      s.backend = internal::MakeX11Backend("", &unavailable);
      if (!s.backend) s.backend = internal::MakeUnavailableBackend(unavailable);
    } else {
      s.backend = internal::MakeSimBackend();
    }
  }
  return *s.backend;
}

// Runs `fn` on the backend under the layer's lock.
template <typename Fn>
auto withBackend(Fn fn) {
  std::lock_guard lock(state().mutex);
  return fn(backendLocked());
}

int copyText(const std::wstring& text, wchar_t* buffer, int capacity) {
  if (buffer == nullptr || capacity <= 0) return 0;
  int n = std::min(static_cast<int>(text.size()), capacity - 1);
  std::wmemcpy(buffer, text.data(), static_cast<size_t>(n));
  buffer[n] = L'\0';
  return n;
}

using internal::InjectedFailure;

}  // namespace

Backing CurrentBacking() {
  return withBackend([](internal::Backend& b) { return b.kind(); });
}

std::string UnavailableReason() {
  return withBackend([](internal::Backend& b) { return b.unavailableReason(); });
}

bool ScreenLost() {
  return withBackend([](internal::Backend& b) { return b.lost(); });
}

bool SelectBacking(Backing backing, const std::string& x11Display) {
  std::unique_ptr<internal::Backend> next;
  if (backing == Backing::Real) next = internal::MakeX11Backend(x11Display);
  bool reached = backing == Backing::Simulated || next != nullptr;
  if (!next) next = internal::MakeSimBackend();
  std::lock_guard lock(state().mutex);
  state().backend = std::move(next);
  return reached;
}

bool EnumDisplayDevices(uint32_t index, DisplayDevice* device) {
  if (InjectedFailure("display.EnumDisplayDevices", index)) return false;
  return withBackend([&](internal::Backend& b) { return b.device(index, device); });
}

bool EnumDisplaySettingsCurrent(const std::wstring& deviceName, DeviceMode* mode) {
  if (InjectedFailure("display.EnumDisplaySettings")) return false;
  return withBackend([&](internal::Backend& b) { return b.currentMode(deviceName, mode); });
}

Rect VirtualScreen() {
  return withBackend([](internal::Backend& b) { return b.virtualScreen(); });
}

int GetSystemMetrics(Metric metric) {
  if (metric == Metric::kMonitorCount) return withBackend([](internal::Backend& b) { return b.monitorCount(); });
  Rect r = VirtualScreen();
  switch (metric) {
    case Metric::kXVirtualScreen: return r.left;
    case Metric::kYVirtualScreen: return r.top;
    case Metric::kCxVirtualScreen: return r.width();
    case Metric::kCyVirtualScreen: return r.height();
    default: return 0;
  }
}

int ScreenDpi() {
  return withBackend([](internal::Backend& b) { return b.dpi(); });
}

std::vector<Window> EnumWindows() {
  if (InjectedFailure("display.EnumWindows")) return {};
  return withBackend([](internal::Backend& b) { return b.windows(); });
}

uint32_t GetWindowThreadProcessId(Window window) {
  auto info = withBackend([&](internal::Backend& b) { return b.window(window); });
  return info ? info->pid : 0;
}

int GetWindowTextLength(Window window) {
  auto info = withBackend([&](internal::Backend& b) { return b.window(window); });
  return info ? static_cast<int>(info->title.size()) : 0;
}

int GetWindowText(Window window, wchar_t* buffer, int capacity) {
  auto info = withBackend([&](internal::Backend& b) { return b.window(window); });
  if (!info) {
    if (buffer != nullptr && capacity > 0) buffer[0] = L'\0';
    return 0;
  }
  return copyText(info->title, buffer, capacity);
}

int GetClassName(Window window, wchar_t* buffer, int capacity) {
  auto info = withBackend([&](internal::Backend& b) { return b.window(window); });
  if (!info) {
    SetLastError(kErrorInvalidHandle);
    return 0;
  }
  return copyText(info->className, buffer, capacity);
}

uint32_t GetWindowStyle(Window window) {
  auto info = withBackend([&](internal::Backend& b) { return b.window(window); });
  return info ? info->style : 0;
}

bool GetWindowFrameBounds(Window window, Rect* rect) {
  auto placed = withBackend([&](internal::Backend& b) { return b.placement(window); });
  if (!placed || rect == nullptr) return false;
  *rect = placed->frame;
  return true;
}

Window GetWindowOwner(Window window) {
  auto placed = withBackend([&](internal::Backend& b) { return b.placement(window); });
  return placed ? placed->owner : 0;
}

bool IsWindowVisible(Window window) {
  auto placed = withBackend([&](internal::Backend& b) { return b.placement(window); });
  return placed && placed->visible;
}

bool IsIconic(Window window) {
  auto placed = withBackend([&](internal::Backend& b) { return b.placement(window); });
  return placed && placed->minimized;
}

bool RestoreWindow(Window window) {
  return withBackend([&](internal::Backend& b) { return b.restore(window); });
}

ProcessHandle OpenProcess(uint32_t pid) {
  if (InjectedFailure("display.OpenProcess", pid)) return 0;
  std::lock_guard lock(state().mutex);
  // The handle only needs the process to exist now; its path is read at query time.
  if (pid == 0 || !backendLocked().processImagePath(pid)) {
    SetLastError(kErrorInvalidParameter);
    return 0;
  }
  ProcessHandle handle = state().nextProcessHandle++;
  state().processHandles.emplace(handle, pid);
  return handle;
}

bool QueryFullProcessImageName(ProcessHandle process, wchar_t* buffer, uint32_t* size) {
  if (InjectedFailure("display.QueryFullProcessImageName")) return false;
  std::lock_guard lock(state().mutex);
  auto it = state().processHandles.find(process);
  if (it == state().processHandles.end()) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  auto path = backendLocked().processImagePath(it->second);
  if (!path) {
    SetLastError(kErrorAccessDenied);
    return false;
  }
  if (buffer == nullptr || size == nullptr || path->size() + 1 > *size) {
    SetLastError(kErrorInsufficientBuffer);
    return false;
  }
  copyText(*path, buffer, static_cast<int>(*size));
  *size = static_cast<uint32_t>(path->size());
  return true;
}

void CloseProcessHandle(ProcessHandle process) {
  std::lock_guard lock(state().mutex);
  if (state().processHandles.erase(process) == 0 && process != 0)
    reportViolation("display: CloseProcessHandle of a handle that is not open");
}

namespace internal {

bool GrabScreen(const Rect& area, uint8_t* bits, int stride) {
  return withBackend([&](Backend& b) { return b.grabScreen(area, bits, stride); });
}

std::wstring InputDesktopName() {
  return withBackend([](Backend& b) { return b.inputDesktop(); });
}

uint32_t SessionId() {
  return withBackend([](Backend& b) { return b.sessionId(); });
}

bool InjectedFailure(const char* call, int64_t target) {
  if (CurrentBacking() != Backing::Simulated) return false;
  if (auto code = injectedFault(call, target)) {
    SetLastError(*code);
    return true;
  }
  return false;
}

}  // namespace internal

namespace sim {
int OpenProcessHandles() {
  std::lock_guard lock(state().mutex);
  return static_cast<int>(state().processHandles.size());
}
}  // namespace sim

}  // namespace platform::display
