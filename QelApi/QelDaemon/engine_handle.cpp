#include "engine_handle.h"

#include <atomic>
#include <mutex>

#include "qelapi.h"

namespace qel {
namespace {

std::shared_mutex gHandleMutex;
// Written only under the exclusive lock; atomic so that PeekEngine needs none.
std::atomic<void*> gHandle{nullptr};

}  // namespace

EngineLease::EngineLease() : lock_(gHandleMutex), handle_(gHandle.load()) {}

void InstallEngine(void* handle) {
  std::unique_lock lock(gHandleMutex);
  gHandle.store(handle);
}

void* ShutdownEngine() {
  std::unique_lock lock(gHandleMutex);
  void* handle = gHandle.load();
  qelapi_log('d', "%s: sQelCtx=0x%p", "UnInitQelSdk", handle);
  if (handle != nullptr) {
    // Every lease has ended: no thread of the daemon is inside the engine. The
    // worker's callbacks may still run and take the store mutex; no holder of
    // that mutex waits for this lock, so the join inside un_init completes.
    qelapi_un_init(handle);
    gHandle.store(nullptr);
  }
  return handle;
}

void* PeekEngine() { return gHandle.load(); }

}  // namespace qel
