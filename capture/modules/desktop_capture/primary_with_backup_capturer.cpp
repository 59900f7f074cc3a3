#include "capture/modules/desktop_capture/primary_with_backup_capturer.h"

#include "capture/base/histogram.h"

namespace capture {

PrimaryWithBackupCapturer::PrimaryWithBackupCapturer(std::unique_ptr<DesktopCapturer> primary,
                                                     std::unique_ptr<DesktopCapturer> backup)
    : primary_(std::move(primary)), backup_(std::move(backup)) {}

PrimaryWithBackupCapturer::~PrimaryWithBackupCapturer() {
  // The capturers hold proxies of the factory: they go first.
  primary_.reset();
  backup_.reset();
}

void PrimaryWithBackupCapturer::BeginCapture(DesktopCapturer::Callback* callback) {
  callback_ = callback;
  primary_->BeginCapture(this);
  backup_->BeginCapture(callback);
}

void PrimaryWithBackupCapturer::UseSharedMemoryFactory(std::unique_ptr<SharedMemoryBlockFactory> factory) {
  // The capturers drop the old proxies (and their frames) before the factory
  // they point at goes.
  if (factory) {
    primary_->UseSharedMemoryFactory(std::make_unique<SharedFactoryProxy>(factory.get()));
    backup_->UseSharedMemoryFactory(std::make_unique<SharedFactoryProxy>(factory.get()));
  } else {
    primary_->UseSharedMemoryFactory(nullptr);
    backup_->UseSharedMemoryFactory(nullptr);
  }
  factory_ = std::move(factory);
}

void PrimaryWithBackupCapturer::CaptureFrame() {
  if (primaryFailed_) {
    backup_->CaptureFrame();
  } else {
    primary_->CaptureFrame();
  }
}

void PrimaryWithBackupCapturer::ExcludeWindow(WindowHandle window) {
  primary_->ExcludeWindow(window);
  backup_->ExcludeWindow(window);
}

bool PrimaryWithBackupCapturer::ListSources(std::vector<SourceEntry>* sources) {
  return primaryFailed_ ? backup_->ListSources(sources) : primary_->ListSources(sources);
}

void PrimaryWithBackupCapturer::SetReadRegion(const DesktopRect& rect) {
  primary_->SetReadRegion(rect);
  backup_->SetReadRegion(rect);
}

bool PrimaryWithBackupCapturer::ChooseSource(int64_t id) {
  if (!primaryFailed_) {
    bool chosen = primary_->ChooseSource(id);
    CountBooleanHistogram("Capture.DesktopCapture.PrimaryCapturerSelectSourceError", !chosen);
    if (!chosen) primaryFailed_ = true;
  }
  return backup_->ChooseSource(id);
}

bool PrimaryWithBackupCapturer::BringSourceToFront() {
  if (primaryFailed_) return backup_->BringSourceToFront();
  return primary_->BringSourceToFront() || backup_->BringSourceToFront();
}

bool PrimaryWithBackupCapturer::IsPointCovered(DesktopPoint point) {
  if (primaryFailed_) return backup_->IsPointCovered(point);
  return primary_->IsPointCovered(point) || backup_->IsPointCovered(point);
}

void PrimaryWithBackupCapturer::OnCaptureResult(CaptureResult result, std::unique_ptr<DesktopFrame> frame) {
  CountBooleanHistogram("Capture.DesktopCapture.PrimaryCapturerError", result != CaptureResult::Success);
  CountBooleanHistogram("Capture.DesktopCapture.PrimaryCapturerPermanentError",
                        result == CaptureResult::PermanentError);
  if (result == CaptureResult::Success) {
    callback_->OnCaptureResult(result, std::move(frame));
    return;
  }
  if (result == CaptureResult::PermanentError) primaryFailed_ = true;
  backup_->CaptureFrame();
}

}  // namespace capture
