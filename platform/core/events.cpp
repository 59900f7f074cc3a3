#include "platform/core/events.h"

#include <chrono>

namespace platform {

void Event::Set() {
  std::function<void()> fire;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (observer_) {
      fire = std::move(observer_);
      observer_ = nullptr;
      // The observer is the wait that consumes an auto-reset signal.
      set_ = manualReset_;
    } else {
      set_ = true;
    }
    // Every waiter looks again: a manual-reset event releases them all, an
    // auto-reset one lets the first that takes the lock consume it. Notified
    // under the lock, so a waiter that destroys the event as soon as its wait
    // returns never races with this call.
    changed_.notify_all();
  }
  if (fire) fire();
}

void Event::ArmObserver(std::function<void()> fire) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!set_) {
      observer_ = std::move(fire);
      return;
    }
    if (!manualReset_) set_ = false;
    observer_ = nullptr;
  }
  fire();
}

bool Event::DisarmObserver() {
  std::lock_guard<std::mutex> lock(mutex_);
  const bool waiting = static_cast<bool>(observer_);
  observer_ = nullptr;
  return waiting;
}

void Event::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  set_ = false;
}

bool Event::IsSet() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return set_;
}

WaitResult Event::Wait(uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  const auto ready = [this] { return set_; };
  if (timeoutMs == kInfinite) {
    changed_.wait(lock, ready);
  } else if (!changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready)) {
    return WaitResult::Timeout;
  }
  if (!manualReset_) set_ = false;
  return WaitResult::Signaled;
}

}  // namespace platform
