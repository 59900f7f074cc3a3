// The capture code's lock: re-entrant, as the duplication code takes it again
// on its own thread (a capture that re-initializes, a target that unregisters
// its context while the lock is held).
//
// Thread safety: that is its purpose.
#pragma once

#include <mutex>

namespace capture {

class Lock {
 public:
  Lock() = default;
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

  void lock() { mutex_.lock(); }
  void unlock() { mutex_.unlock(); }
  bool try_lock() { return mutex_.try_lock(); }

 private:
  std::recursive_mutex mutex_;
};

// Holds a Lock for its lifetime.
class LockGuard {
 public:
  explicit LockGuard(Lock* lock) : lock_(lock) { lock_->lock(); }
  ~LockGuard() { lock_->unlock(); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  Lock* lock_;
};

}  // namespace capture
