// Runs a primary capturer and lets a backup capture a frame the primary
// failed; the backup takes over for good when the primary fails permanently or
// cannot select the screen.
//
// Thread safety: one thread, like the capturers it wraps.
#pragma once

#include <memory>

#include "capture/modules/desktop_capture/desktop_capturer.h"

namespace capture {

// Passes block creation to a factory it does not own.
class SharedFactoryProxy : public SharedMemoryBlockFactory {
 public:
  explicit SharedFactoryProxy(SharedMemoryBlockFactory* factory) : factory_(factory) {}
  std::unique_ptr<SharedMemoryBlock> CreateBlock(size_t size) override { return factory_->CreateBlock(size); }

 private:
  SharedMemoryBlockFactory* factory_;
};

class PrimaryWithBackupCapturer : public DesktopCapturer, public DesktopCapturer::Callback {
 public:
  PrimaryWithBackupCapturer(std::unique_ptr<DesktopCapturer> primary, std::unique_ptr<DesktopCapturer> backup);
  ~PrimaryWithBackupCapturer() override;

  void BeginCapture(DesktopCapturer::Callback* callback) override;
  void UseSharedMemoryFactory(std::unique_ptr<SharedMemoryBlockFactory> factory) override;
  void CaptureFrame() override;
  void ExcludeWindow(WindowHandle window) override;
  void SetReadRegion(const DesktopRect& rect) override;
  bool ListSources(std::vector<SourceEntry>* sources) override;
  bool ChooseSource(int64_t id) override;
  bool BringSourceToFront() override;
  bool IsPointCovered(DesktopPoint point) override;

  DesktopCapturer* primary() const { return primary_.get(); }
  DesktopCapturer* backup() const { return backup_.get(); }
  bool primaryFailedForGood() const { return primaryFailed_; }

 private:
  void OnCaptureResult(CaptureResult result, std::unique_ptr<DesktopFrame> frame) override;

  std::unique_ptr<DesktopCapturer> primary_;
  std::unique_ptr<DesktopCapturer> backup_;
  std::unique_ptr<SharedMemoryBlockFactory> factory_;
  bool primaryFailed_ = false;
  DesktopCapturer::Callback* callback_ = nullptr;
};

}  // namespace capture
