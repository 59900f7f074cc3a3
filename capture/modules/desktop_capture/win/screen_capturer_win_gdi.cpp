#include "capture/modules/desktop_capture/win/screen_capturer_win_gdi.h"

#include <utility>

#include "capture/base/checks.h"
#include "capture/base/clock.h"
#include "capture/base/trace_event.h"
#include "capture/modules/desktop_capture/screen_list.h"
#include "capture/modules/desktop_capture/win/screen_frame.h"
#include "platform/display/display.h"
#include "platform/display/gdi.h"

namespace capture {

namespace display = platform::display;

ScreenCapturerWinGdi::ScreenCapturerWinGdi(const CapturerOptions& options) {
  if (options.desktop_effects_off_) composition_ = DwmComposition::Load();
}

ScreenCapturerWinGdi::~ScreenCapturerWinGdi() {
  releaseDeviceContexts();
  if (composition_) composition_->Enable(1);
  ring_.Reset();
  desktop_.revert();
}

void ScreenCapturerWinGdi::BeginCapture(Callback* callback) {
  callback_ = callback;
  if (composition_) composition_->Enable(0);
}

void ScreenCapturerWinGdi::UseSharedMemoryFactory(std::unique_ptr<SharedMemoryBlockFactory> factory) {
  factory_ = std::move(factory);
  // Frames made with the old factory would outlive it: make new ones.
  ring_.Reset();
}

bool ScreenCapturerWinGdi::ListSources(std::vector<SourceEntry>* sources) { return ListActiveScreens(sources); }

bool ScreenCapturerWinGdi::ChooseSource(int64_t id) { return screen_.Choose(id); }

void ScreenCapturerWinGdi::releaseDeviceContexts() {
  if (desktop_dc_ != 0) {
    display::ReleaseDC(desktop_dc_);
    desktop_dc_ = 0;
  }
  if (memory_dc_ != 0) {
    display::DeleteDC(memory_dc_);
    memory_dc_ = 0;
  }
}

void ScreenCapturerWinGdi::prepareResources() {
  std::unique_ptr<DesktopHandle> input = DesktopHandle::OpenInput();
  if (input && !desktop_.matches(*input)) {
    releaseDeviceContexts();
    desktop_.switchTo(std::move(input));
    if (composition_) composition_->Enable(0);
  }
  if (watcher_.Changed()) releaseDeviceContexts();
  if (desktop_dc_ == 0) {
    desktop_dc_ = display::GetDC();
    CAPTURE_CHECK_AT("../../modules/desktop_capture/win/screen_capturer_win_gdi", 169, desktop_dc_);
    memory_dc_ = display::CreateCompatibleDC(desktop_dc_);
    CAPTURE_CHECK_AT("../../modules/desktop_capture/win/screen_capturer_win_gdi", 171, memory_dc_);
    ring_.Reset();
  }
  // An input handle not handed to the switch closes with `input`.
}

bool ScreenCapturerWinGdi::captureImage() {
  DesktopRect screen = screen_.Rect();
  if (screen.IsDegenerate()) return false;
  RefSharedFrame* slot = ring_.current();
  if (slot == nullptr || !(slot->size() == screen.size())) {
    auto frame = DibSectionFrame::Make(screen.size(), factory_.get(), desktop_dc_);
    if (!frame) {
      ring_.ReplaceCurrent(nullptr);
      return false;
    }
    ring_.ReplaceCurrent(RefSharedFrame::Wrap(std::move(frame)));
    slot = ring_.current();
  }
  DesktopRect virtualScreen = VirtualScreenRect();
  slot->setTopLeft({screen.left - virtualScreen.left, screen.top - virtualScreen.top});

  // The part to read: the read region inside the screen, else all of it.
  DesktopRect area = DesktopRect::MakeSize(screen.size());
  if (!readRegion_.IsDegenerate()) {
    DesktopRect part = readRegion_;
    part.ClipTo(area);
    if (!part.IsDegenerate()) area = part;
  }
  lastRead_ = area;

  auto* dib = static_cast<DibSectionFrame*>(slot->UnderlyingFrame());
  uint64_t previous = display::SelectObject(memory_dc_, dib->bitmap());
  if (previous == display::kSelectError) return false;
  bool copied =
      display::BitBlt(memory_dc_, area.left, area.top, area.width(), area.height(), desktop_dc_,
                      screen.left + area.left, screen.top + area.top, display::kSrcCopy | display::kCaptureBlt);
  display::SelectObject(memory_dc_, previous);
  return copied;
}

void ScreenCapturerWinGdi::CaptureFrame() {
  if (callback_ == nullptr) return;  // BeginCapture has not run: nobody to report to
  CAPTURE_TRACE_SCOPE("ScreenCapturerWinGdi::CaptureFrame");
  int64_t start = ClockNanos();
  ring_.Advance();
  prepareResources();
  if (!captureImage()) {
    // A screen whose X server is gone never comes back: the caller can end
    // its capture instead of trying again frame after frame.
    callback_->OnCaptureResult(display::ScreenLost() ? CaptureResult::PermanentError : CaptureResult::TemporaryError,
                               nullptr);
    return;
  }
  std::unique_ptr<DesktopFrame> frame = ShareScreenFrame(ring_, desktop_dc_, start);
  frame->mutableUpdatedRegion()->Reset(lastRead_);
  frame->setCapturerId(kCapturerIdGdi);
  callback_->OnCaptureResult(CaptureResult::Success, std::move(frame));
}

}  // namespace capture
