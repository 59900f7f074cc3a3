#include "platform/core/window_id.h"

#include <atomic>

namespace platform {
namespace {
// Constant-initialised, so it is in place before any library's static
// initialisers run, whatever their order.
std::atomic<WindowLiveCheck> liveCheck{nullptr};
}  // namespace

void SetWindowLiveCheck(WindowLiveCheck check) { liveCheck.store(check); }

bool IsLiveWindow(WindowId window) {
  const WindowLiveCheck check = liveCheck.load();
  return check != nullptr && check(window);
}

}  // namespace platform
