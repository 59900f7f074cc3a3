// What a client asks of the screen capturer the factory builds. The recorder
// takes the defaults and allows DXGI duplication.
//
// Thread safety: a plain record; the detector it refers to is counted.
#pragma once

#include "capture/base/ref_ptr.h"
#include "capture/modules/desktop_capture/full_screen_window_detector.h"

namespace capture {

struct CapturerOptions {
  // Travels with the options for window capturers; no screen capturer reads it.
  RefPtr<FullScreenWindowDetector> full_screen_detector_;
  // The magnifier capturer goes in front of the rest.
  bool magnifier_allowed_ = false;
  // The DXGI capturer goes in front of the GDI one where duplication works.
  bool dxgi_allowed_ = false;
  bool window_cropping_allowed_ = false;
  bool update_notifications_ = true;
  // The GDI capturer turns desktop composition off while it lives.
  bool desktop_effects_off_ = true;
  // The result is wrapped so that frames carry only the blocks that changed.
  bool find_changed_region_ = false;

  // The defaults, with a detector made with MakeFullScreenAppHandler.
  static CapturerOptions MakeDefault();
};

}  // namespace capture
