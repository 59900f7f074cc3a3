// Captures the screen through the magnification module: a hidden host window
// holds a magnifier window whose source is the chosen screen, and the module's
// scaling callback hands over the screen pixels. It can leave a window out of
// the picture; it works only with exactly one monitor. Every failure is
// permanent, so a wrapper falls back to its backup for good.
//
// Thread safety: one thread; its windows belong to the thread that began it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "capture/modules/desktop_capture/desktop_capturer.h"
#include "capture/modules/desktop_capture/screen_list.h"
#include "capture/modules/desktop_capture/win/desktop_switch.h"
#include "capture/modules/desktop_capture/win/two_frame_ring.h"
#include "platform/core/modules.h"
#include "platform/display/magnification.h"
#include "platform/ui/window.h"

namespace capture {

class ScreenCapturerWinMagnification : public DesktopCapturer {
 public:
  ScreenCapturerWinMagnification() = default;
  ~ScreenCapturerWinMagnification() override;

  void BeginCapture(Callback* callback) override;
  void UseSharedMemoryFactory(std::unique_ptr<SharedMemoryBlockFactory> factory) override;
  void CaptureFrame() override;
  void ExcludeWindow(WindowHandle window) override;
  bool ListSources(std::vector<SourceEntry>* sources) override;
  bool ChooseSource(int64_t id) override;

  bool initialized() const { return initialized_; }

 private:
  bool initializeMagnifier();
  void releaseScreenContext();
  static int OnScalingCallback(platform::ui::HWND window, void* sourceData,
                               platform::display::mag::ImageHeader sourceHeader, void* destinationData,
                               platform::display::mag::ImageHeader destinationHeader, platform::display::Rect unclipped,
                               platform::display::Rect clipped, void* dirty);
  void onImage(const uint8_t* data, const platform::display::mag::ImageHeader& header);

  Callback* callback_ = nullptr;
  std::unique_ptr<SharedMemoryBlockFactory> factory_;
  ChosenScreen screen_;
  WindowHandle excludedWindow_ = 0;
  TwoFrameRing ring_;
  ThreadDesktopSwitch desktop_;
  uint64_t desktop_dc_ = 0;
  platform::ModuleHandle module_ = nullptr;
  decltype(&platform::display::mag::MagInitialize) magInitialize_ = nullptr;
  decltype(&platform::display::mag::MagUninitialize) magUninitialize_ = nullptr;
  decltype(&platform::display::mag::MagSetWindowSource) magSetWindowSource_ = nullptr;
  decltype(&platform::display::mag::MagSetWindowFilterList) magSetWindowFilterList_ = nullptr;
  decltype(&platform::display::mag::MagSetImageScalingCallback) magSetImageScalingCallback_ = nullptr;
  platform::ui::HWND hostWindow_ = nullptr;
  platform::ui::HWND magnifierWindow_ = nullptr;
  bool initialized_ = false;
  bool imageReceived_ = true;
};

}  // namespace capture
