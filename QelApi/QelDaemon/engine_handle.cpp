#include "engine_handle.h"

#include <atomic>
#include <mutex>

#include "qelapi.h"

namespace qel {
namespace {

std::shared_mutex gHandleMutex;
// Written only under the exclusive lock; atomic so that PeekEngine needs none.
std::atomic<void*> gHandle{nullptr};
// Set while (and after) the engine is being shut down. The shared mutex lets
// new readers in while a writer waits (glibc's default), so with requests
// arriving on many connections the shutdown could wait for ever; new leases
// see this flag instead and take no lock.
std::atomic<bool> gClosing{false};

}  // namespace

EngineLease::EngineLease() {
  if (gClosing.load()) return;
  lock_ = std::shared_lock(gHandleMutex);
  handle_ = gHandle.load();
}

void InstallEngine(void* handle) {
  std::unique_lock lock(gHandleMutex);
  gHandle.store(handle);
  gClosing.store(false);
}

void* ShutdownEngine() {
  gClosing.store(true);
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
