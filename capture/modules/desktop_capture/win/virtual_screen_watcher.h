// Tells whether the virtual screen's rectangle changed since the last look (a
// monitor added, removed, moved or resized).
//
// Thread safety: none.
#pragma once

#include "capture/modules/desktop_capture/desktop_geometry.h"
#include "capture/modules/desktop_capture/screen_list.h"

namespace capture {

class VirtualScreenWatcher {
 public:
  // False on the first call (it only remembers); later true once per change.
  bool Changed() {
    DesktopRect now = VirtualScreenRect();
    if (!read_) {
      read_ = true;
      last_ = now;
      return false;
    }
    if (now == last_) return false;
    last_ = now;
    return true;
  }
  void Reset() { read_ = false; }

 private:
  DesktopRect last_;
  bool read_ = false;
};

}  // namespace capture
