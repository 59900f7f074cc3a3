#include "platform/ui/active_monitors.h"

#include "platform/display/display.h"

namespace platform::ui {

void ForEachActiveMonitor(const std::function<bool(const ActiveMonitor&)>& visit) {
  display::DisplayDevice device;
  for (uint32_t i = 0; display::EnumDisplayDevices(i, &device); ++i) {
    display::DeviceMode mode;
    if ((device.stateFlags & display::kDisplayDeviceActive) == 0 ||
        !display::EnumDisplaySettingsCurrent(device.name, &mode)) {
      continue;
    }
    const ActiveMonitor monitor{i, Rect{mode.x, mode.y, mode.x + mode.width, mode.y + mode.height},
                                (device.stateFlags & display::kDisplayDevicePrimary) != 0};
    if (!visit(monitor)) return;
  }
}

}  // namespace platform::ui
