// Finds the full-screen window an application opened for the content of a
// window a user chose, so that a window capturer could follow the application
// into full screen. The one application known is PowerPoint: from an editor
// window it finds the slide show of the same document. Every capturer option
// set carries a detector; no screen capturer consults it.
//
// Lifetime: the detector is reference counted (the options hold one reference).
// Thread safety: none; one thread at a time.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "capture/base/ref_ptr.h"
#include "capture/modules/desktop_capture/desktop_capturer.h"

namespace capture {

class FullScreenAppHandler {
 public:
  explicit FullScreenAppHandler(WindowHandle window) : window_(window) {}
  virtual ~FullScreenAppHandler() = default;
  // The full-screen window for the handler's window among `windows`, or 0.
  virtual WindowHandle FindFullScreenWindow(const std::vector<DesktopCapturer::SourceEntry>& windows,
                                            int64_t timeMs) const {
    (void)windows;
    (void)timeMs;
    return 0;
  }
  WindowHandle window() const { return window_; }

 private:
  WindowHandle window_;
};

// PowerPoint: an editor window "Document - PowerPoint" and its slide show
// "PowerPoint Slide Show - Document - Suffix" in the same process.
class SlideShowHandler : public FullScreenAppHandler {
 public:
  enum WindowType { kEditor = 0, kSlideShow = 1, kOther = 2 };

  using FullScreenAppHandler::FullScreenAppHandler;
  WindowHandle FindFullScreenWindow(const std::vector<DesktopCapturer::SourceEntry>& windows,
                                    int64_t timeMs) const override;

  static WindowType windowType(WindowHandle window);
  // The document name in a slide-show title: between the first and the last
  // " - " (to the end when they are the same), trimmed; the whole title,
  // untrimmed, without any " - ".
  static std::string documentOfSlideShow(const std::string& title);
  // The document name in an editor title: up to the first " - ", trimmed.
  static std::string documentOfEditor(const std::string& title);
};

using FullScreenAppHandlerFactory = std::function<std::unique_ptr<FullScreenAppHandler>(WindowHandle)>;

// A SlideShowHandler for a window of a process whose executable file is
// POWERPNT.EXE (any case, any folder); null otherwise.
std::unique_ptr<FullScreenAppHandler> MakeFullScreenAppHandler(WindowHandle window);

class FullScreenWindowDetector {
 public:
  static RefPtr<FullScreenWindowDetector> Create(FullScreenAppHandlerFactory factory) {
    return RefPtr<FullScreenWindowDetector>(new FullScreenWindowDetector(std::move(factory)));
  }

  void AddRef() const { count_.fetch_add(1, std::memory_order_relaxed); }
  void Release() const {
    if (count_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }

  // The list of windows the search looks through.
  void SetWindowList(std::vector<DesktopCapturer::SourceEntry> windows) { windows_ = std::move(windows); }
  // The full-screen window for `original`, or 0. Makes a handler for
  // `original` through the factory when the current one is for another window.
  WindowHandle FindFullScreenWindow(WindowHandle original, int64_t timeMs);

 private:
  explicit FullScreenWindowDetector(FullScreenAppHandlerFactory factory) : factory_(std::move(factory)) {}
  ~FullScreenWindowDetector() = default;

  std::unique_ptr<FullScreenAppHandler> handler_;
  FullScreenAppHandlerFactory factory_;
  std::vector<DesktopCapturer::SourceEntry> windows_;
  mutable std::atomic<int> count_{0};
};

}  // namespace capture
