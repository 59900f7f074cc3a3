// The one place that decides which capturer, or stack of capturers, a client
// gets for its options.
#include "capture/modules/desktop_capture/capturer_factory.h"

#include "capture/modules/desktop_capture/blank_frame_guard.h"
#include "capture/modules/desktop_capture/changed_region_capturer.h"
#include "capture/modules/desktop_capture/primary_with_backup_capturer.h"
#include "capture/modules/desktop_capture/win/duplication_hub.h"
#include "capture/modules/desktop_capture/win/screen_capturer_win_directx.h"
#include "capture/modules/desktop_capture/win/screen_capturer_win_gdi.h"
#include "capture/modules/desktop_capture/win/screen_capturer_win_magnifier.h"

namespace capture {

std::unique_ptr<DesktopCapturer> MakeDxgiCapturerWithBlankCheck() {
  return std::make_unique<BlankFrameGuard>(std::make_unique<ScreenCapturerWinDirectx>(), PixelColor{});
}

std::unique_ptr<DesktopCapturer> MakeBaseScreenCapturer(const CapturerOptions& options) {
  std::unique_ptr<DesktopCapturer> capturer = std::make_unique<ScreenCapturerWinGdi>(options);
  if (options.dxgi_allowed_ && DuplicationHub::Supported()) {
    capturer = std::make_unique<PrimaryWithBackupCapturer>(MakeDxgiCapturerWithBlankCheck(), std::move(capturer));
  }
  if (options.magnifier_allowed_) {
    capturer = std::make_unique<PrimaryWithBackupCapturer>(std::make_unique<ScreenCapturerWinMagnification>(),
                                                           std::move(capturer));
  }
  return capturer;
}

std::unique_ptr<DesktopCapturer> DesktopCapturer::MakeScreenCapturer(const CapturerOptions& options) {
  std::unique_ptr<DesktopCapturer> capturer = MakeBaseScreenCapturer(options);
  if (capturer && options.find_changed_region_) capturer = std::make_unique<ChangedRegionCapturer>(std::move(capturer));
  return capturer;
}

}  // namespace capture
