// Two frame slots used in turn: a capturer writes into one while the consumer
// may still read the frame it got from the other.
//
// Thread safety: none.
#pragma once

#include <memory>

#include "capture/modules/desktop_capture/desktop_frame.h"

namespace capture {

class TwoFrameRing {
 public:
  void Advance() { current_ = (current_ + 1) % 2; }
  RefSharedFrame* current() const { return frames_[current_].get(); }
  void ReplaceCurrent(std::unique_ptr<RefSharedFrame> frame) { frames_[current_] = std::move(frame); }
  void Reset() {
    frames_[0].reset();
    frames_[1].reset();
  }
  int currentIndex() const { return current_; }

 private:
  std::unique_ptr<RefSharedFrame> frames_[2];
  int current_ = 0;
};

}  // namespace capture
