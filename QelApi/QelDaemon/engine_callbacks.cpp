#include "QelDaemon/engine_callbacks.h"

#include <atomic>

#include "QelDaemon/task_store.h"

namespace qel {
namespace {

// The daemon's one piece of process-wide state: the callbacks have no other
// way to reach the store.
std::atomic<TaskStore*> gCallbackStore{nullptr};

}  // namespace

void RouteTaskCallbacks(TaskStore* store) { gCallbackStore.store(store); }

void ReleaseTaskCallbacks(TaskStore* store) {
  TaskStore* expected = store;
  gCallbackStore.compare_exchange_strong(expected, nullptr);
}

void OnTaskError(void* /*handle*/, uint64_t taskId, const char* text) {
  if (TaskStore* store = gCallbackStore.load()) store->addError(taskId, text);
}

void OnTaskProgress(void* /*handle*/, uint64_t taskId, const char* text) {
  if (TaskStore* store = gCallbackStore.load()) store->setProgress(taskId, text);
}

void OnTaskComplete(void* /*handle*/, uint64_t taskId, const char* /*text*/) {
  if (TaskStore* store = gCallbackStore.load()) store->markDone(taskId);
}

}  // namespace qel
