#include "QelDaemon/engine_handle.h"

#include <mutex>

#include "qelapi.h"

namespace qel {

EngineLease::EngineLease(EngineHandle& engine) {
  if (engine.closing_.load()) return;
  lock_ = std::shared_lock(engine.mutex_);
  handle_ = engine.handle_.load();
}

EngineHandle::~EngineHandle() {
  if (peek() != nullptr) shutdown();
}

void EngineHandle::install(void* handle) {
  std::unique_lock lock(mutex_);
  handle_.store(handle);
  closing_.store(false);
}

void* EngineHandle::shutdown() {
  closing_.store(true);
  std::lock_guard once(shutdownMutex_);
  void* handle = handle_.load();
  qelapi_log('d', "%s: sQelCtx=0x%p", "UnInitQelSdk", handle);
  if (handle != nullptr) {
    // Leases may still be held: their calls end early (their ffprobe or
    // hardware test is killed) and later calls are refused. The worker's
    // callbacks may still run and take the store mutex; no holder of that
    // mutex waits for the shutdown, so the join inside un_init completes.
    qelapi_un_init(handle);
  }
  // The leases still held only fail their engine calls now; wait for them.
  std::unique_lock lock(mutex_);
  handle_.store(nullptr);
  return handle;
}

}  // namespace qel
