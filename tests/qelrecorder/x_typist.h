// Types keys on an X server through the XTEST extension, as a user would
// (kept apart: Xlib's macros clash with the platform headers).
#pragma once

#include <string>

namespace qelrec::test {

// Presses and releases Control+F5 on `display`; with `numLock`, NumLock is
// switched on around it (and off again). False when it cannot be reached.
bool TypeControlF5(const std::string& display, bool numLock = false);

}  // namespace qelrec::test

namespace qelrec::test {

// Another X client holding Control+F5 for as long as it lives.
class ControlF5Holder {
 public:
  explicit ControlF5Holder(const std::string& display);
  ~ControlF5Holder();
  ControlF5Holder(const ControlF5Holder&) = delete;
  ControlF5Holder& operator=(const ControlF5Holder&) = delete;
  bool holding() const { return holding_; }

 private:
  void* display_ = nullptr;
  bool holding_ = false;
};

}  // namespace qelrec::test
