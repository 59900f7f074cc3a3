// The screens as the capturers list them: display devices by index, their
// rectangles on the virtual screen, and the keys that tell whether the device
// behind an index is still the one that was chosen.
//
// Thread safety: reentrant (the display layer serializes itself).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "capture/modules/desktop_capture/desktop_capturer.h"
#include "capture/modules/desktop_capture/desktop_geometry.h"

namespace capture {

// Appends an entry (id = device index, empty title) for every active display
// device, in enumeration order, and, when `deviceNames` is given, each one's
// device name in UTF-8. Always true.
bool ListActiveScreens(std::vector<DesktopCapturer::SourceEntry>* screens,
                       std::vector<std::string>* deviceNames = nullptr);
// The virtual screen: the bounding box of every active monitor.
DesktopRect VirtualScreenRect();
// The rectangle of screen `id` on the virtual screen (-1: the virtual screen).
// Empty (all zero) when the device does not exist, its key is no longer
// `deviceKey`, or it has no current mode.
DesktopRect ScreenRectById(int64_t id, const std::wstring& deviceKey);
// The key of screen `id` (-1: empty key, true); false when there is no such device.
bool LookUpScreenDeviceKey(int64_t id, std::wstring* key);
// Wide text in UTF-8.
std::string WideToUtf8(const std::wstring& text);

// The screen a capturer was told to capture, with the key its device had
// then, so that another monitor later found at the same index is not captured
// in its place. Starts on the whole virtual screen.
class ChosenScreen {
 public:
  // Chooses screen `id` (-1: the virtual screen); false, keeping the previous
  // choice, when there is no such device.
  bool Choose(int64_t id);
  // Its rectangle on the virtual screen, as ScreenRectById gives it.
  DesktopRect Rect() const { return ScreenRectById(id_, deviceKey_); }

 private:
  int64_t id_ = -1;
  std::wstring deviceKey_;
};

}  // namespace capture
