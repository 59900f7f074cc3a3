// Desktop composition, turned off while the GDI capturer lives (composed
// desktops make BitBlt slow) and back on afterwards. "dwmapi.dll" and its
// "DwmEnableComposition" are looked up at run time: a system without them
// leaves composition alone.
//
// Thread safety: none.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/core/modules.h"

namespace capture {

class DwmComposition {
 public:
  // Null when the module or its entry is missing.
  static std::unique_ptr<DwmComposition> Load();
  ~DwmComposition();
  DwmComposition(const DwmComposition&) = delete;
  DwmComposition& operator=(const DwmComposition&) = delete;

  // 0 turns composition off, 1 on.
  void Enable(unsigned action) const { enable_(action); }

 private:
  using EnableFn = int32_t (*)(uint32_t);
  DwmComposition(platform::ModuleHandle module, EnableFn enable) : module_(module), enable_(enable) {}
  platform::ModuleHandle module_;
  EnableFn enable_;
};

}  // namespace capture
