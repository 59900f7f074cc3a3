// The engine handles this library has handed out, and the export calls inside
// each of them.
//
// qelapi_init publishes its new engine here and hands out its address as the
// handle; every export that takes a handle enters the engine through an
// EngineCall. qelapi_un_init retires the handle: from that moment calls with
// it are refused without the engine being touched, the programs that the
// calls still inside are running (ffprobe, the hardware test) are ended so
// that those calls return at once, and the engine is handed back for freeing
// only after the last of them has left. A service can therefore shut its
// engine down while handlers are still inside probes, without waiting for the
// probes; a call that comes late gets an error, never freed memory. A handle
// that was never handed out is refused as well.
//
// Thread safety: every function, and every EngineCall, may be used from any
// thread.
#pragma once

#include <memory>

namespace qel {

class EngineContext;

// Makes `engine` a live handle and returns it (the engine's address).
void* publishEngine(std::unique_ptr<EngineContext> engine);

// One export call inside an engine, for as long as the object lives.
class EngineCall {
 public:
  // Enters the engine when `handle` is live; otherwise the call is empty.
  explicit EngineCall(void* handle);
  ~EngineCall();
  EngineCall(const EngineCall&) = delete;
  EngineCall& operator=(const EngineCall&) = delete;

  // The engine, or null when the handle is not live (never handed out, or
  // being shut down or shut down already).
  EngineContext* get() const { return engine_; }

 private:
  EngineContext* engine_ = nullptr;
};

// Takes the live `handle` out of service: new calls are refused, the
// children of the calls inside are ended (the engine's call group is
// cancelled), and once the last call has left the engine is returned to be
// stopped and freed. Null when the handle is not live, so only one of two
// concurrent callers gets the engine.
// REQUIRES: the calling thread is inside no EngineCall of this handle.
std::unique_ptr<EngineContext> retireEngine(void* handle);

}  // namespace qel
