#include "capture/modules/desktop_capture/screen_list.h"

#include <limits>

#include "common/text_convert.h"
#include "platform/display/display.h"

namespace capture {

namespace display = platform::display;

bool ListActiveScreens(std::vector<DesktopCapturer::SourceEntry>* screens, std::vector<std::string>* deviceNames) {
  display::DisplayDevice device;
  for (uint32_t index = 0; display::EnumDisplayDevices(index, &device); ++index) {
    if ((device.stateFlags & display::kDisplayDeviceActive) == 0) continue;
    screens->push_back({static_cast<int64_t>(index), std::string()});
    if (deviceNames != nullptr) deviceNames->push_back(WideToUtf8(device.name));
  }
  return true;
}

DesktopRect VirtualScreenRect() {
  int x = display::GetSystemMetrics(display::Metric::kXVirtualScreen);
  int y = display::GetSystemMetrics(display::Metric::kYVirtualScreen);
  return DesktopRect{x, y, x + display::GetSystemMetrics(display::Metric::kCxVirtualScreen),
                     y + display::GetSystemMetrics(display::Metric::kCyVirtualScreen)};
}

DesktopRect ScreenRectById(int64_t id, const std::wstring& deviceKey) {
  if (id == -1) return VirtualScreenRect();
  if (id < 0 || id > std::numeric_limits<uint32_t>::max()) return DesktopRect{};
  display::DisplayDevice device;
  if (!display::EnumDisplayDevices(static_cast<uint32_t>(id), &device)) return DesktopRect{};
  if (device.key != deviceKey) return DesktopRect{};
  display::DeviceMode mode;
  if (!display::EnumDisplaySettingsCurrent(device.name, &mode)) return DesktopRect{};
  return DesktopRect{mode.x, mode.y, mode.x + mode.width, mode.y + mode.height};
}

bool LookUpScreenDeviceKey(int64_t id, std::wstring* key) {
  if (id == -1) {
    key->clear();
    return true;
  }
  if (id < 0 || id > std::numeric_limits<uint32_t>::max()) return false;
  display::DisplayDevice device;
  if (!display::EnumDisplayDevices(static_cast<uint32_t>(id), &device)) return false;
  *key = device.key;
  return true;
}

std::string WideToUtf8(const std::wstring& text) { return qel::wideToUtf8(text); }

bool ChosenScreen::Choose(int64_t id) {
  std::wstring key;
  if (!LookUpScreenDeviceKey(id, &key)) return false;
  id_ = id;
  deviceKey_ = std::move(key);
  return true;
}

}  // namespace capture
