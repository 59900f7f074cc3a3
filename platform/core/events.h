// Events and waits: the signalling objects the recorder's threads meet on (ring
// hand-over, idle tick, stop requests). An event is manual-reset (stays set until
// reset) or auto-reset (one successful wait consumes the signal).
//
// Thread safety: every member may be called from any thread at any time.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace platform {

// Wait without a time-out.
inline constexpr uint32_t kInfinite = 0xFFFFFFFFu;

enum class WaitResult { Signaled, Timeout, Failed };

class Event {
 public:
  Event(bool manualReset, bool initiallySet) : manualReset_(manualReset), set_(initiallySet) {}
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set();
  void Reset();
  bool IsSet() const;
  // Signaled when the event is (or becomes) set within `timeoutMs` (kInfinite:
  // no limit); an auto-reset event is cleared by the wait that sees it.
  WaitResult Wait(uint32_t timeoutMs = kInfinite);

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  const bool manualReset_;
  bool set_;
};

}  // namespace platform
