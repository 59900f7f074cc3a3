// Scoped changes of the platform layers' process-wide state for a test: a
// forced backing, the display's backing, the pinned local time, the simulated
// list of playing programs. Each is undone in a destructor, so a failed
// ASSERT (which leaves the test body early) cannot leave it to the next test
// of the program.
//
// Header-only: only test programs that link qelplatform include it.
// Not thread-safe: made and destroyed on the test's thread.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/apps/render_processes.h"
#include "platform/core/backing.h"
#include "platform/core/local_time.h"
#include "platform/display/display.h"

namespace qel::test {

// Forces `layer`'s backing and lets the layer choose again through `reselect`
// (its own re-selecting entry; empty for a layer that has none). When the
// object dies the force is dropped and the layer chooses again.
class ScopedBacking {
 public:
  ScopedBacking(std::string layer, platform::Backing backing, std::function<void()> reselect = {})
      : layer_(std::move(layer)), reselect_(std::move(reselect)) {
    platform::forceBacking(layer_, backing);
    if (reselect_) reselect_();
  }
  ~ScopedBacking() {
    platform::clearForcedBacking(layer_);
    if (reselect_) reselect_();
  }
  ScopedBacking(const ScopedBacking&) = delete;
  ScopedBacking& operator=(const ScopedBacking&) = delete;

 private:
  std::string layer_;
  std::function<void()> reselect_;
};

// Selects the display's backing (the real one on `x11Display`); the simulated
// display again when the object dies. selected() is what the selection answered.
class ScopedDisplayBacking {
 public:
  explicit ScopedDisplayBacking(platform::Backing backing, const std::string& x11Display = "")
      : selected_(platform::display::SelectBacking(backing, x11Display)) {}
  ~ScopedDisplayBacking() { platform::display::SelectBacking(platform::Backing::Simulated); }
  ScopedDisplayBacking(const ScopedDisplayBacking&) = delete;
  ScopedDisplayBacking& operator=(const ScopedDisplayBacking&) = delete;

  bool selected() const { return selected_; }

 private:
  bool selected_;
};

// Pins the local time the platform reports; the real clock again when the object dies.
class ScopedLocalTime {
 public:
  explicit ScopedLocalTime(const platform::SystemTime& moment) { platform::SetLocalTimeOverride(moment); }
  ~ScopedLocalTime() { platform::SetLocalTimeOverride(std::nullopt); }
  ScopedLocalTime(const ScopedLocalTime&) = delete;
  ScopedLocalTime& operator=(const ScopedLocalTime&) = delete;
};

// Sets the simulated list of programs playing sound; the empty list again when
// the object dies.
class ScopedRenderProcesses {
 public:
  explicit ScopedRenderProcesses(const std::vector<uint32_t>& pids) { platform::apps::SetRenderProcesses(pids); }
  ~ScopedRenderProcesses() { platform::apps::SetRenderProcesses({}); }
  ScopedRenderProcesses(const ScopedRenderProcesses&) = delete;
  ScopedRenderProcesses& operator=(const ScopedRenderProcesses&) = delete;
};

}  // namespace qel::test
