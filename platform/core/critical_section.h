// Critical sections: recursive locks, so code that enters again on the same
// thread (a close called from inside a handler that holds it) does not deadlock.
// Usable with std::lock_guard / std::unique_lock.
//
// Thread safety: any thread may enter; only the owner leaves.
#pragma once

#include <mutex>

namespace platform {

class CriticalSection {
 public:
  CriticalSection() = default;
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  void Enter() { mutex_.lock(); }
  bool TryEnter() { return mutex_.try_lock(); }
  void Leave() { mutex_.unlock(); }

  // Lockable names, for the standard guards.
  void lock() { Enter(); }
  bool try_lock() { return TryEnter(); }
  void unlock() { Leave(); }

 private:
  std::recursive_mutex mutex_;
};

}  // namespace platform
