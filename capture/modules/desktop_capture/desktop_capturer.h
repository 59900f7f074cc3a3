// The contract between a client (the screen recorder) and every screen
// capturer: choose a screen, begin with a result callback, then ask for frames.
// A capturer runs entirely on the thread that calls it; it starts no thread and
// reports every frame through the callback before CaptureFrame returns.
//
// Calling order: construct (MakeScreenCapturer), optionally
// UseSharedMemoryFactory, ChooseSource (until then the whole virtual screen),
// BeginCapture once, CaptureFrame as often as wanted, destroy.
//
// Thread safety: none; one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "capture/modules/desktop_capture/desktop_frame.h"
#include "capture/modules/desktop_capture/desktop_geometry.h"
#include "capture/modules/desktop_capture/shared_memory.h"

namespace capture {

// A top-level window, as the platform's window table names it (0 = none).
using WindowHandle = uint64_t;

enum class CaptureResult {
  Success = 0,         // a frame is delivered
  TemporaryError = 1,  // this frame failed; later ones may succeed
  PermanentError = 2,  // this capturer will not produce frames again
};

struct CapturerOptions;

class DesktopCapturer {
 public:
  // A screen (id = display-device index, -1 = the whole virtual screen, title
  // empty) or a window (id = its handle, title = its title).
  struct SourceEntry {
    int64_t id = 0;
    std::string title;
    bool operator==(const SourceEntry&) const = default;
  };

  class Callback {
   public:
    // `frame` is non-null exactly when `result` is Success; the callee owns it.
    virtual void OnCaptureResult(CaptureResult result, std::unique_ptr<DesktopFrame> frame) = 0;

   protected:
    virtual ~Callback() = default;
  };

  // The screen capturer (or stack of capturers) `options` ask for; null when
  // none could be made.
  static std::unique_ptr<DesktopCapturer> MakeScreenCapturer(const CapturerOptions& options);

  virtual ~DesktopCapturer() = default;

  // `callback` is not owned and must outlive the capturer's use.
  virtual void BeginCapture(Callback* callback) = 0;
  // Frames are made in blocks of `factory` from now on (null: heap memory).
  virtual void UseSharedMemoryFactory(std::unique_ptr<SharedMemoryBlockFactory> factory) { factory.reset(); }
  // Captures one frame and reports it through the callback before returning.
  virtual void CaptureFrame() = 0;
  virtual void ExcludeWindow(WindowHandle window) { (void)window; }
  // The part of the chosen screen the caller reads from each frame (screen
  // coordinates: relative to the screen's top-left corner); an empty rectangle
  // is the whole screen. A capturer may then read only that part: its frames
  // keep the screen's size, their updated region is the part read, and the
  // pixels outside it are unspecified. The base reads the whole screen.
  virtual void SetReadRegion(const DesktopRect& rect) { (void)rect; }
  virtual bool ListSources(std::vector<SourceEntry>* sources) {
    (void)sources;
    return true;
  }
  // Selects the screen with display-device index `id` (-1: the whole virtual
  // screen); false, keeping the previous choice, when there is no such screen.
  virtual bool ChooseSource(int64_t id) {
    (void)id;
    return false;
  }
  virtual bool BringSourceToFront() { return false; }
  virtual bool IsPointCovered(DesktopPoint point) {
    (void)point;
    return false;
  }
};

}  // namespace capture
