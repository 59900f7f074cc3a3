// The real backing when its X server cannot be reached: the process sees no
// screen at all (never a simulated one), and the reason is there for the line
// that tells the user.
#include "platform/display/backend.h"

namespace platform::display::internal {
namespace {

class UnavailableBackend : public Backend {
 public:
  explicit UnavailableBackend(std::string reason) : reason_(std::move(reason)) {}

  Backing kind() const override { return Backing::Real; }
  bool device(uint32_t, DisplayDevice*) override { return false; }
  bool currentMode(const std::wstring&, DeviceMode*) override { return false; }
  Rect virtualScreen() override { return Rect{}; }
  int monitorCount() override { return 0; }
  int dpi() override { return 96; }
  std::vector<Window> windows() override { return {}; }
  std::optional<WindowInfo> window(Window) override { return std::nullopt; }
  std::optional<WindowPlacement> placement(Window) override { return std::nullopt; }
  bool restore(Window) override { return false; }
  std::optional<std::wstring> processImagePath(uint32_t) override { return std::nullopt; }
  bool grabScreen(const Rect&, uint8_t*, int) override { return false; }
  std::wstring inputDesktop() override { return L"Default"; }
  uint32_t sessionId() override { return 1; }
  std::string unavailableReason() const override { return reason_; }

 private:
  std::string reason_;
};

}  // namespace

std::unique_ptr<Backend> MakeUnavailableBackend(std::string reason) {
  return std::make_unique<UnavailableBackend>(std::move(reason));
}

}  // namespace platform::display::internal
