// Events and waits: the signalling objects the recorder's threads meet on (ring
// hand-over, idle tick, stop requests). An event is manual-reset (stays set until
// reset) or auto-reset (one successful wait consumes the signal).
//
// Thread safety: every member may be called from any thread at any time.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
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

  // One-shot observer, as a waiting work item needs: `fire` runs once, the
  // next time the event is set (at once, on the calling thread, when it is set
  // now), and counts as the wait that consumes an auto-reset event. It runs
  // outside the event's lock on the thread that set the event. One observer at
  // a time; arming again replaces it. DisarmObserver returns whether one was
  // still waiting (it has then not run and never will).
  void ArmObserver(std::function<void()> fire);
  bool DisarmObserver();

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  const bool manualReset_;
  bool set_;
  std::function<void()> observer_;
};

}  // namespace platform
