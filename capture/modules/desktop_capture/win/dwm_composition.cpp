#include "capture/modules/desktop_capture/win/dwm_composition.h"

namespace capture {

std::unique_ptr<DwmComposition> DwmComposition::Load() {
  platform::ModuleHandle module = platform::LoadModule("dwmapi.dll");
  if (module == nullptr) return nullptr;
  void* entry = platform::GetModuleEntry(module, "DwmEnableComposition");
  if (entry == nullptr) {
    platform::FreeModule(module);
    return nullptr;
  }
  return std::unique_ptr<DwmComposition>(new DwmComposition(module, reinterpret_cast<EnableFn>(entry)));
}

DwmComposition::~DwmComposition() { platform::FreeModule(module_); }

}  // namespace capture
