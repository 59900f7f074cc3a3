// The daemon's engine handle (the value qelapi_init returned) and the rule
// that keeps it alive while anyone uses it.
//
// Every engine call goes through an `EngineLease`, which holds the handle's
// lock shared for as long as the call runs. Once a shutdown has begun, new
// leases yield null at once (so a steady stream of requests cannot hold the
// shutdown off), and the engine answers their calls with 6510.
//
// `shutdown` does not wait for the leases before it calls qelapi_un_init: a
// "quit" or a signal that arrives while the start-up probe or a handler's
// probe is inside the engine must not wait for that program to finish. The
// engine ends the programs of the calls still inside, waits for those calls
// to return and refuses later calls with the handle, so a lease that is still
// held is never left with freed memory. `shutdown` then takes the lock
// exclusive, so that it returns only after every lease has ended.
//
// Lock order, fixed for the whole daemon: engine-handle lock, then task-store
// mutex, then the engine's own mutexes (taken inside the exports). The engine's
// callbacks take only the task-store mutex and never the handle lock, so
// qelapi_un_init (which joins the worker) can always finish: nobody who holds
// the store mutex waits for the handle lock or for the shutdown. A lease must
// not be taken while another lease or the store mutex is held by the same
// thread, and `shutdown` must not be called while holding either.
//
// Thread safety: every member and every lease may be used from any thread,
// except that `shutdown` must not run on the engine's worker thread.
#pragma once

#include <atomic>
#include <mutex>
#include <shared_mutex>

namespace qel {

class EngineHandle {
 public:
  EngineHandle() = default;
  // Shuts the engine down if it is still running.
  ~EngineHandle();
  EngineHandle(const EngineHandle&) = delete;
  EngineHandle& operator=(const EngineHandle&) = delete;

  // Installs the handle returned by qelapi_init (once, before the server starts).
  void install(void* handle);

  // Shuts the engine down exactly once: refuses new leases, calls
  // qelapi_un_init (which ends the calls still running), waits for every lease
  // to end and clears the handle. A second caller waits for the first to
  // finish. Returns the handle it shut down (for the log line), or null when
  // there was none.
  void* shutdown();

  // The current handle value, for log lines and tests only (no lease).
  void* peek() const { return handle_.load(); }

 private:
  friend class EngineLease;

  std::shared_mutex mutex_;
  // Held by the one shutdown in progress; a second caller waits on it.
  std::mutex shutdownMutex_;
  // Written only under the exclusive lock; atomic so that peek needs none.
  std::atomic<void*> handle_{nullptr};
  // Set while (and after) the engine is being shut down. The shared mutex lets
  // new readers in while a writer waits (glibc's default), so with requests
  // arriving on many connections the shutdown could wait for ever; new leases
  // see this flag instead and take no lock.
  std::atomic<bool> closing_{false};
};

class EngineLease {
 public:
  explicit EngineLease(EngineHandle& engine);
  ~EngineLease() = default;
  EngineLease(const EngineLease&) = delete;
  EngineLease& operator=(const EngineLease&) = delete;

  // The handle, or null once the engine has been shut down (or never started).
  void* get() const { return handle_; }

 private:
  std::shared_lock<std::shared_mutex> lock_;
  void* handle_ = nullptr;
};

}  // namespace qel
