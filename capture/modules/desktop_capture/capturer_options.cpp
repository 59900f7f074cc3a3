#include "capture/modules/desktop_capture/capturer_options.h"

namespace capture {

CapturerOptions CapturerOptions::MakeDefault() {
  CapturerOptions options;
  options.full_screen_detector_ = FullScreenWindowDetector::Create(MakeFullScreenAppHandler);
  return options;
}

}  // namespace capture
