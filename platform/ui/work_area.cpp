#include "platform/ui/work_area.h"

#include <optional>

#include "platform/display/display.h"

namespace platform::ui {

bool SystemParametersInfo(uint32_t action, Rect* rect) {
  if (action != SPI_GETWORKAREA || rect == nullptr) return false;
  std::optional<Rect> first;
  display::DisplayDevice device;
  for (uint32_t i = 0; display::EnumDisplayDevices(i, &device); ++i) {
    display::DeviceMode mode;
    if ((device.stateFlags & display::kDisplayDeviceActive) == 0 ||
        !display::EnumDisplaySettingsCurrent(device.name, &mode)) {
      continue;
    }
    const Rect area{mode.x, mode.y, mode.x + mode.width, mode.y + mode.height};
    if ((device.stateFlags & display::kDisplayDevicePrimary) != 0) {
      *rect = area;
      return true;
    }
    if (!first) first = area;
  }
  if (!first) return false;
  *rect = *first;
  return true;
}

}  // namespace platform::ui
