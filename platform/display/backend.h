// The seam between display.h's calls and the two backings.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/display/display.h"

namespace platform::display::internal {

struct WindowInfo {
  std::wstring title;
  std::wstring className;
  uint32_t pid = 0;
  uint32_t style = 0;
};

class Backend {
 public:
  virtual ~Backend() = default;
  virtual Backing kind() const = 0;
  virtual bool device(uint32_t index, DisplayDevice* device) = 0;
  virtual bool currentMode(const std::wstring& name, DeviceMode* mode) = 0;
  virtual Rect virtualScreen() = 0;
  virtual int monitorCount() = 0;
  virtual int dpi() = 0;
  virtual std::vector<Window> windows() = 0;
  // Nothing when the window does not exist.
  virtual std::optional<WindowInfo> window(Window window) = 0;
  // Nothing when the window does not exist.
  virtual std::optional<WindowPlacement> placement(Window window) = 0;
  // False when the window does not exist.
  virtual bool restore(Window window) = 0;
  // Nothing when there is no such process or its path cannot be read.
  virtual std::optional<std::wstring> processImagePath(uint32_t pid) = 0;

  // Copies the screen's pixels of `area` (virtual-screen coordinates) into
  // `bits` (rows `stride` bytes apart) as blue, green, red, alpha; a screen
  // without alpha may leave the fourth byte 0 (opaque all the same, as from
  // GDI). False when the area cannot be read (outside the screen, server lost).
  virtual bool grabScreen(const Rect& area, uint8_t* bits, int stride) = 0;
  // The name of the desktop that receives input.
  virtual std::wstring inputDesktop() = 0;
  virtual uint32_t sessionId() = 0;

  // True once the screen's source is gone for good (a lost X server).
  virtual bool lost() const { return false; }
  // Why no screen is served ("" when one is).
  virtual std::string unavailableReason() const { return std::string(); }
};

std::unique_ptr<Backend> MakeSimBackend();
// Null when the server cannot be reached; `*unavailable` (when given) then
// holds the line that says which display and why.
std::unique_ptr<Backend> MakeX11Backend(const std::string& displayName, std::string* unavailable = nullptr);
// The real backing without its source: no devices, no pixels, no windows;
// `reason` says why.
std::unique_ptr<Backend> MakeUnavailableBackend(std::string reason);

}  // namespace platform::display::internal
