#include "platform/ui/work_area.h"

#include <optional>

#include "platform/ui/active_monitors.h"

namespace platform::ui {

bool SystemParametersInfo(uint32_t action, Rect* rect) {
  if (action != SPI_GETWORKAREA || rect == nullptr) return false;
  // The first monitor, until the primary one turns up.
  std::optional<Rect> area;
  ForEachActiveMonitor([&](const ActiveMonitor& monitor) {
    if (!area || monitor.primary) area = monitor.rect;
    return !monitor.primary;
  });
  if (!area) return false;
  *rect = *area;
  return true;
}

}  // namespace platform::ui
