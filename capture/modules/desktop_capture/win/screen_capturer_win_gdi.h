// Captures the chosen screen with BitBlt into a 32-bit DIB section. Before each
// frame it moves the calling thread to the desktop that receives input, so it
// keeps capturing across desktop switches; it can turn desktop composition off
// while it lives. A failed frame is a TemporaryError, unless the screen's
// source is gone for good (a lost X server): then it is a PermanentError.
//
// Thread safety: one thread; destroy it on the thread that captured (it puts
// the thread back on its first desktop).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "capture/modules/desktop_capture/capturer_options.h"
#include "capture/modules/desktop_capture/desktop_capturer.h"
#include "capture/modules/desktop_capture/screen_list.h"
#include "capture/modules/desktop_capture/win/desktop_switch.h"
#include "capture/modules/desktop_capture/win/dwm_composition.h"
#include "capture/modules/desktop_capture/win/two_frame_ring.h"
#include "capture/modules/desktop_capture/win/virtual_screen_watcher.h"

namespace capture {

class ScreenCapturerWinGdi : public DesktopCapturer {
 public:
  explicit ScreenCapturerWinGdi(const CapturerOptions& options);
  ~ScreenCapturerWinGdi() override;

  void BeginCapture(Callback* callback) override;
  void UseSharedMemoryFactory(std::unique_ptr<SharedMemoryBlockFactory> factory) override;
  void CaptureFrame() override;
  bool ListSources(std::vector<SourceEntry>* sources) override;
  bool ChooseSource(int64_t id) override;
  // Only this part of the screen is copied (BitBlt of the part alone), so the
  // display's server reads no more than the caller uses.
  void SetReadRegion(const DesktopRect& rect) override { readRegion_ = rect; }

 private:
  void prepareResources();
  bool captureImage();
  void releaseDeviceContexts();

  Callback* callback_ = nullptr;
  std::unique_ptr<SharedMemoryBlockFactory> factory_;
  ChosenScreen screen_;
  ThreadDesktopSwitch desktop_;
  uint64_t desktop_dc_ = 0;
  uint64_t memory_dc_ = 0;
  TwoFrameRing ring_;
  VirtualScreenWatcher watcher_;
  std::unique_ptr<DwmComposition> composition_;
  DesktopRect readRegion_;  // empty: the whole screen
  DesktopRect lastRead_;    // frame coordinates of the part the last capture read
};

}  // namespace capture
