#include "capture/modules/desktop_capture/win/screen_capturer_win_directx.h"

#include <string>

#include "capture/base/clock.h"
#include "capture/base/trace_event.h"

namespace capture {

ScreenCapturerWinDirectx::ScreenCapturerWinDirectx() : hub_(DuplicationHub::Acquire()) {}

ScreenCapturerWinDirectx::~ScreenCapturerWinDirectx() {
  factory_.reset();
  ring_[0].reset();
  ring_[1].reset();
  hub_->release();
}

void ScreenCapturerWinDirectx::BeginCapture(Callback* callback) { callback_ = callback; }

void ScreenCapturerWinDirectx::UseSharedMemoryFactory(std::unique_ptr<SharedMemoryBlockFactory> factory) {
  factory_ = std::move(factory);
  // Targets keep a plain pointer to the factory they were made with: drop
  // them so none points at the one just replaced.
  ring_[0].reset();
  ring_[1].reset();
}

bool ScreenCapturerWinDirectx::ListSources(std::vector<SourceEntry>* sources) {
  std::vector<std::string> names;
  if (!hub_->OutputNames(&names)) return false;
  return ScreensForDxgiNames(names, sources);
}

bool ScreenCapturerWinDirectx::ChooseSource(int64_t id) {
  if (id == -1) {
    currentOutput_ = -1;
    return true;
  }
  std::vector<std::string> names;
  if (!hub_->OutputNames(&names)) return false;
  int index = DxgiIndexOfScreenId(id, names);
  if (index == -1) return false;
  currentOutput_ = index;
  currentOutputName_ = names[static_cast<size_t>(index)];
  return true;
}

void ScreenCapturerWinDirectx::CaptureFrame() {
  if (callback_ == nullptr) return;  // BeginCapture has not run: nobody to report to
  CAPTURE_TRACE_SCOPE("ScreenCapturerWinDirectx::CaptureFrame");
  int64_t start = ClockNanos();
  ringIndex_ = (ringIndex_ + 1) % 2;
  auto& target = ring_[ringIndex_];
  if (!target) target = std::make_unique<DuplicationTarget>(hub_, factory_.get());

  DuplicateResult result =
      currentOutput_ == -1 ? hub_->CaptureAll(target.get()) : hub_->CaptureScreen(target.get(), currentOutputName_);
  switch (result) {
    case DuplicateResult::Ok: {
      std::unique_ptr<DesktopFrame> frame = target->frame()->Share();
      frame->setCaptureTimeMs((ClockNanos() - start) / 1'000'000);
      frame->setCapturerId(kCapturerIdDxgi);
      callback_->OnCaptureResult(CaptureResult::Success, std::move(frame));
      return;
    }
    case DuplicateResult::SessionUnsupported:
    case DuplicateResult::TargetPrepareFailed:
    case DuplicateResult::MonitorIdInvalid: callback_->OnCaptureResult(CaptureResult::PermanentError, nullptr); return;
    case DuplicateResult::InitFailed:
    case DuplicateResult::DuplicateFailed: callback_->OnCaptureResult(CaptureResult::TemporaryError, nullptr); return;
  }
}

}  // namespace capture
