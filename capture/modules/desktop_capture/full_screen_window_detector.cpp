#include "capture/modules/desktop_capture/full_screen_window_detector.h"

#include "capture/base/string_trim.h"
#include "capture/modules/desktop_capture/window_helpers.h"
#include "common/ascii_case.h"
#include "platform/display/display.h"

namespace capture {
namespace {
constexpr char kSeparator[] = " - ";
}

SlideShowHandler::WindowType SlideShowHandler::windowType(WindowHandle window) {
  if (IsWindowOfClass(window)) return kEditor;
  uint32_t style = platform::display::GetWindowStyle(window);
  return (style & (platform::display::kStyleMinimizeBox | platform::display::kStyleMaximizeBox)) != 0 ? kOther
                                                                                                      : kSlideShow;
}

std::string SlideShowHandler::documentOfEditor(const std::string& title) {
  return TrimWhitespace(title.substr(0, title.find(kSeparator)));
}

std::string SlideShowHandler::documentOfSlideShow(const std::string& title) {
  size_t first = title.find(kSeparator);
  size_t last = title.rfind(kSeparator);
  if (first == std::string::npos || last == std::string::npos) return title;
  size_t start = first + 3;
  size_t end = last > start ? last : title.size();
  return TrimWhitespace(title.substr(start, end - start));
}

WindowHandle SlideShowHandler::FindFullScreenWindow(const std::vector<DesktopCapturer::SourceEntry>& windows,
                                                    int64_t) const {
  if (windows.empty()) return 0;
  auto kept = WindowsOfProcess(windows, WindowProcessId(window()), window());
  if (kept.empty()) return 0;
  if (windowType(window()) != kEditor) return 0;
  std::string document = documentOfEditor(WindowTitleUtf8(window()));
  for (const auto& entry : kept) {
    auto candidate = static_cast<WindowHandle>(entry.id);
    if (windowType(candidate) == kSlideShow && documentOfSlideShow(WindowTitleUtf8(candidate)) == document)
      return candidate;
  }
  return 0;
}

std::unique_ptr<FullScreenAppHandler> MakeFullScreenAppHandler(WindowHandle window) {
  std::string path = ProcessImagePathOfWindow(window);
  // Image paths of this platform use '/'; a '\' path still cuts at its last '\'.
  size_t cut = path.find_last_of("\\/");
  std::string file = cut == std::string::npos ? path : path.substr(cut + 1);
  if (qel::asciiIEquals(file, "POWERPNT.EXE")) return std::make_unique<SlideShowHandler>(window);
  return nullptr;
}

WindowHandle FullScreenWindowDetector::FindFullScreenWindow(WindowHandle original, int64_t timeMs) {
  if (original == 0) return 0;
  if (!handler_ || handler_->window() != original) handler_ = factory_ ? factory_(original) : nullptr;
  return handler_ ? handler_->FindFullScreenWindow(windows_, timeMs) : 0;
}

}  // namespace capture
