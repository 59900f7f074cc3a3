// Captures through desktop duplication: each frame comes from the process-wide
// duplication hub into one of two ring targets, with only the changed pixels
// copied. A session the hub cannot serve, a target it cannot prepare and an
// output that no longer exists are permanent errors; failed initializations
// and duplications are temporary.
//
// Thread safety: one thread at a time (the hub serializes capturers).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "capture/modules/desktop_capture/desktop_capturer.h"
#include "capture/modules/desktop_capture/win/duplication_hub.h"

namespace capture {

class ScreenCapturerWinDirectx : public DesktopCapturer {
 public:
  ScreenCapturerWinDirectx();
  ~ScreenCapturerWinDirectx() override;

  void BeginCapture(Callback* callback) override;
  void UseSharedMemoryFactory(std::unique_ptr<SharedMemoryBlockFactory> factory) override;
  void CaptureFrame() override;
  bool ListSources(std::vector<SourceEntry>* sources) override;
  bool ChooseSource(int64_t id) override;

 private:
  DuplicationHub* hub_;
  int ringIndex_ = 0;
  std::unique_ptr<DuplicationTarget> ring_[2];
  std::unique_ptr<SharedMemoryBlockFactory> factory_;
  Callback* callback_ = nullptr;
  int currentOutput_ = -1;
  std::string currentOutputName_;  // the chosen output's device name
};

}  // namespace capture
