#include "capture/modules/desktop_capture/window_helpers.h"

#include <vector>

#include "common/text_convert.h"
#include "platform/display/display.h"

namespace capture {

namespace display = platform::display;

uint32_t WindowProcessId(WindowHandle window) { return display::GetWindowThreadProcessId(window); }

std::string ProcessImagePathOfWindow(WindowHandle window) {
  display::ProcessHandle process = display::OpenProcess(WindowProcessId(window));
  if (process == 0) return std::string();
  wchar_t path[260];
  uint32_t size = 260;
  std::string result;
  if (display::QueryFullProcessImageName(process, path, &size)) result = qel::wideToUtf8(std::wstring_view(path, size));
  display::CloseProcessHandle(process);
  return result;
}

std::string WindowTitleUtf8(WindowHandle window) {
  int length = display::GetWindowTextLength(window);
  if (length <= 0) return std::string();
  std::vector<wchar_t> buffer(static_cast<size_t>(length) + 1);
  int copied = display::GetWindowText(window, buffer.data(), length + 1);
  if (copied <= 0) return std::string();
  return qel::wideToUtf8(std::wstring_view(buffer.data(), static_cast<size_t>(copied)));
}

bool IsWindowOfClass(WindowHandle window) {
  // A 17-character buffer: a longer name that merely starts with the class
  // comes back cut to 16 characters and does not count.
  wchar_t name[17];
  int length = display::GetClassName(window, name, 17);
  return length == 13 && std::wstring_view(name, 13) == L"PPTFrameClass";
}

std::vector<DesktopCapturer::SourceEntry> WindowsOfProcess(const std::vector<DesktopCapturer::SourceEntry>& windows,
                                                           uint32_t pid, WindowHandle excluded) {
  std::vector<DesktopCapturer::SourceEntry> out;
  for (const auto& entry : windows) {
    auto window = static_cast<WindowHandle>(entry.id);
    if (window != excluded && WindowProcessId(window) == pid) out.push_back(entry);
  }
  return out;
}

}  // namespace capture
