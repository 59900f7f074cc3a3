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
  std::unique_lock lock(mutex_);
  void* handle = handle_.load();
  qelapi_log('d', "%s: sQelCtx=0x%p", "UnInitQelSdk", handle);
  if (handle != nullptr) {
    // Every lease has ended: no thread of the daemon is inside the engine. The
    // worker's callbacks may still run and take the store mutex; no holder of
    // that mutex waits for this lock, so the join inside un_init completes.
    qelapi_un_init(handle);
    handle_.store(nullptr);
  }
  return handle;
}

}  // namespace qel
