// The engine's three task callbacks. The engine calls them on its worker
// thread with its own handle, the task id and a text, and lets a client
// register no pointer of its own; so the task store they write to is named
// once, process-wide, when the daemon starts its engine.
//
// Thread safety: the callbacks may run on any thread. RouteTaskCallbacks is
// called before the engine starts, ReleaseTaskCallbacks after it has been
// shut down (its worker joined); no callback runs across either call.
#pragma once

#include <cstdint>

namespace qel {

class TaskStore;

// Sends every later callback to `store`.
void RouteTaskCallbacks(TaskStore* store);
// Stops sending callbacks to `store` (when they still go there); they are
// ignored until the next RouteTaskCallbacks.
void ReleaseTaskCallbacks(TaskStore* store);

// The shapes of the engine's ErrorCallback, ProgressCallback and CompleteCallback.
void OnTaskError(void* handle, uint64_t taskId, const char* text);
void OnTaskProgress(void* handle, uint64_t taskId, const char* text);
void OnTaskComplete(void* handle, uint64_t taskId, const char* text);

}  // namespace qel
