// The task store: one record per task the daemon started, in the order of
// the "starttask" requests. The engine's callbacks write the latest status and
// the completion mark into it; "gettaskstate" reads the status; each
// connection's one-second tick pushes one completion notice per task.
//
// One mutex guards the list and every field of every record. Lock order: the
// engine-handle lock (engine_handle.h) before the store mutex, the store mutex
// before the engine's own mutex, never the other way round. The engine calls the
// callbacks on its worker thread without its mutex, so a callback waiting for
// the store mutex never blocks an engine call made under it.
//
// Thread safety: every function here may be called from any thread.
#pragma once

#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <string>

namespace qel {

class Channel;
struct InputParam;

struct TaskRecord {
  uint64_t taskId = 0;
  int64_t sid = 0;
  int64_t done = 0;
  int64_t reported = 0;
  std::string lastProgress;
  std::deque<std::string> errors;
  std::shared_ptr<Channel> channel;  // null once the connection has closed
};

// Engine callbacks (the shapes of ErrorCallback, ProgressCallback, CompleteCallback).
void OnTaskError(void* handle, uint64_t taskId, const char* text);
void OnTaskProgress(void* handle, uint64_t taskId, const char* text);
void OnTaskComplete(void* handle, uint64_t taskId, const char* text);

void HandleStartTask(const InputParam& param);
void HandleAbortTask(const InputParam& param);
void HandleGetTaskState(const InputParam& param);

// Sends the queued error notices and the completion notice of every record of
// `channel` not yet reported. Run by the connection's tick.
void PushTaskEvents(const std::shared_ptr<Channel>& channel);

// Drops `channel` from every record it started (the connection has closed).
void DetachChannel(const Channel* channel);

// Appends the record of a task the engine has accepted, as a successful
// "starttask" does (the engine calls are the caller's business). False, and
// nothing added, when a record with this id exists already.
bool AppendTaskRecord(uint64_t taskId, int64_t sid, std::shared_ptr<Channel> channel);

// A copy of the record with this id (tests and diagnostics); false when none.
bool FindTaskRecord(uint64_t taskId, TaskRecord& out);

// The "gettaskstate" answer when the daemon has no status text: `known` false
// gives the unknown-task form ("progress" 100, error 6510), true the
// started-but-no-report form.
std::string TaskStateTemplateText(int64_t sid, uint64_t taskId, bool known);

}  // namespace qel
