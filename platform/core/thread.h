// Threads whose handle and id are published before their body runs. A body that
// loops "while my handle is valid" or compares its own id with a stored one sees
// the values its starter stored, never the empty ones of the moment before.
//
// Thread ids are small numbers of our own (never 0), the same for the id slot a
// starter receives and for CurrentThreadId() inside the thread.
//
// Thread safety: a ThreadHandle belongs to one owner; Wait may run on any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/core/events.h"

namespace platform {

using ThreadId = uint64_t;

namespace detail {
struct ThreadState;
}

// Id of the calling thread (assigned on first use; never 0).
ThreadId CurrentThreadId();

class ThreadHandle {
 public:
  ThreadHandle() = default;
  ~ThreadHandle() { Close(); }
  ThreadHandle(const ThreadHandle&) = delete;
  ThreadHandle& operator=(const ThreadHandle&) = delete;
  ThreadHandle(ThreadHandle&& other) noexcept;
  ThreadHandle& operator=(ThreadHandle&& other) noexcept;

  bool Valid() const { return state_ != nullptr; }
  ThreadId Id() const;
  // Signaled once the body has returned; Failed without a thread.
  WaitResult Wait(uint32_t timeoutMs = kInfinite);
  // Releases the handle: an ended thread is joined, one still running is left
  // to finish on its own (it keeps what it needs alive).
  void Close();

 private:
  friend bool BeginThread(ThreadHandle&, std::atomic<ThreadId>*, std::function<void()>);
  std::shared_ptr<detail::ThreadState> state_;
};

// Fault-injection name of BeginThread (tests make thread creation fail).
inline constexpr const char* kBeginThreadCall = "core.BeginThread";

// Starts `body` on a new thread. Before the body runs, `handle` holds the new
// thread (an earlier one in it is closed first) and `*idSlot` (when given) its
// id. Returns false, leaving both untouched and the last error set, when no
// thread can be created.
bool BeginThread(ThreadHandle& handle, std::atomic<ThreadId>* idSlot, std::function<void()> body);

}  // namespace platform
