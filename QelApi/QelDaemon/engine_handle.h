// The daemon's one engine handle (the value qelapi_init returned) and the rule
// that keeps it alive while anyone uses it.
//
// Every engine call goes through an `EngineLease`, which holds the handle's
// lock shared for as long as the call runs; `ShutdownEngine` takes it exclusive,
// so a "quit" that arrives while the start-up probe or a handler is still inside
// the engine waits for that call to return instead of freeing the engine under
// it. Once a shutdown has begun, new leases yield null at once (so a steady
// stream of requests cannot hold the shutdown off), and the engine answers
// their calls with 6510.
//
// Lock order, fixed for the whole daemon: engine-handle lock, then task-store
// mutex, then the engine's own mutexes (taken inside the exports). The engine's
// callbacks take only the task-store mutex and never the handle lock, so
// qelapi_un_init (which joins the worker) can always finish: nobody who holds
// the store mutex waits for the handle lock while the exclusive holder runs.
// A lease must not be taken while another lease or the store mutex is held by
// the same thread.
//
// Thread safety: all functions and leases may be used from any thread, except
// that ShutdownEngine must not run on the engine's worker thread.
#pragma once

#include <shared_mutex>

namespace qel {

class EngineLease {
 public:
  EngineLease();
  ~EngineLease() = default;
  EngineLease(const EngineLease&) = delete;
  EngineLease& operator=(const EngineLease&) = delete;

  // The handle, or null once the engine has been shut down (or never started).
  void* get() const { return handle_; }

 private:
  std::shared_lock<std::shared_mutex> lock_;
  void* handle_ = nullptr;
};

// Installs the handle returned by qelapi_init (once, before the server starts).
void InstallEngine(void* handle);

// Shuts the engine down exactly once: waits for every lease to end, calls
// qelapi_un_init and clears the handle. Returns the handle it shut down (for
// the log line), or null when there was none.
void* ShutdownEngine();

// The current handle value, for log lines and tests only (no lease).
void* PeekEngine();

}  // namespace qel
