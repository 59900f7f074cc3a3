// The process-wide desktop duplication hub: a device per adapter, a
// duplication per attached output, all outputs laid out on one desktop that
// starts at (0, 0), and, for every consumer (context), the region that changed
// since that consumer's last frame. Counted: the last release deinitializes it
// (the object stays for the next Acquire).
//
// Thread safety: every operation takes the hub's re-entrant lock; duplication
// and texture access happen under it, so capturers on different threads
// capture one after another.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "capture/base/lock.h"
#include "capture/modules/desktop_capture/desktop_capturer.h"
#include "capture/modules/desktop_capture/desktop_frame.h"
#include "capture/modules/desktop_capture/win/adapter_duplication.h"
#include "capture/modules/desktop_capture/win/virtual_screen_watcher.h"

namespace capture {

enum class DuplicateResult {
  Ok = 0,
  SessionUnsupported = 1,
  TargetPrepareFailed = 2,
  InitFailed = 3,
  DuplicateFailed = 4,
  MonitorIdInvalid = 5,
};

// One consumer's view: the hub state it was set up for and, per adapter and
// output, what changed since it last captured there.
struct DuplicationContext {
  int identity = 0;
  std::vector<std::vector<ScreenRegion>> regions;
};

class DuplicationHub;

// Remembers the last size it saw.
class SizeTracker {
 public:
  // False for the first size; later true when the size differs.
  bool Changed(DesktopExtent size) {
    if (!seen_) {
      seen_ = true;
      last_ = size;
      return false;
    }
    bool changed = !(size == last_);
    last_ = size;
    return changed;
  }

 private:
  bool seen_ = false;
  DesktopExtent last_;
};

// One ring slot of a DXGI capturer: its frame and its context.
class DuplicationTarget {
 public:
  DuplicationTarget(DuplicationHub* hub, SharedMemoryBlockFactory* factory) : hub_(hub), factory_(factory) {}
  ~DuplicationTarget();
  DuplicationTarget(const DuplicationTarget&) = delete;
  DuplicationTarget& operator=(const DuplicationTarget&) = delete;

  // Ready for a frame of `size` for `monitorId`; false when no frame could be made.
  bool Prepare(DesktopExtent size, int monitorId);
  RefSharedFrame* frame() const { return frame_.get(); }
  DuplicationContext* context() { return &context_; }

 private:
  DuplicationHub* hub_;
  SharedMemoryBlockFactory* factory_;
  SizeTracker size_;
  int lastMonitor_ = -1;
  std::unique_ptr<RefSharedFrame> frame_;
  DuplicationContext context_;
};

class DuplicationHub {
 public:
  // The hub, one more reference; made on first use.
  static DuplicationHub* Acquire();
  // Drops a reference; the last one deinitializes.
  void release();

  // Whether duplication works here (at least one duplicated output).
  static bool Supported();

  DuplicateResult CaptureAll(DuplicationTarget* target);
  DuplicateResult CaptureScreen(DuplicationTarget* target, int outputIndex);
  // The output whose device name is `outputName`, wherever the current output
  // list has it; MonitorIdInvalid when it has none.
  DuplicateResult CaptureScreen(DuplicationTarget* target, const std::string& outputName);
  // Appends every output's device name in adapter and output order; false
  // when the hub cannot initialize.
  bool OutputNames(std::vector<std::string>* names);
  void unregisterContext(DuplicationContext* context);

  // For tests: successful captures since the process started.
  int64_t capturesSucceeded() const { return capturesSucceeded_; }

 private:
  DuplicationHub() = default;
  DuplicateResult captureLocked(DuplicationTarget* target, int monitorId, const std::string* outputName = nullptr);
  int outputIndexOf(const std::string& outputName) const;
  bool initializeLocked();
  void deinitializeLocked();
  void translateToOrigin();
  void setupContext(DuplicationContext* context);
  bool ensureFirstFrame(DuplicationContext* context, DuplicationTarget* target);
  bool duplicateAll(DuplicationContext* context, RefSharedFrame* target);
  int outputCount() const;
  DesktopRect outputRect(int index) const;
  int64_t minFramesCaptured() const;

  std::atomic<int> references_{0};
  Lock lock_;
  int identity_ = 0;
  DesktopRect desktopRect_;
  DesktopPoint dpi_;
  std::vector<std::unique_ptr<AdapterDuplication>> adapters_;
  VirtualScreenWatcher watcher_;
  int64_t capturesSucceeded_ = 0;
};

// One entry per DXGI output, in DXGI order: the listed screen of the same
// device name, or a new id above every listed one. False when listing fails.
bool ScreensForDxgiNames(const std::vector<std::string>& outputNames,
                         std::vector<DesktopCapturer::SourceEntry>* screens);
// The DXGI output index of screen `screenId`, or -1.
int DxgiIndexOfScreenId(int64_t screenId, const std::vector<std::string>& outputNames);

}  // namespace capture
