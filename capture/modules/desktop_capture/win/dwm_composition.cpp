#include "capture/modules/desktop_capture/win/dwm_composition.h"

#include "platform/display/gdi.h"

namespace capture {

std::unique_ptr<DwmComposition> DwmComposition::Load() {
  // The display layer serves the composition call of this platform.
  return std::unique_ptr<DwmComposition>(new DwmComposition(
      [](unsigned action) { return static_cast<int>(platform::display::DwmEnableComposition(action)); }));
}

}  // namespace capture
