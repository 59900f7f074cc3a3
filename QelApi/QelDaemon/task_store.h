// The task store: one record per task the daemon started. The engine's
// reports write the latest status text, the error texts and the completion
// mark into a record; the task handlers (task_handlers.h) read and change
// records through the visits below, under the store's one mutex.
//
// Records are found by task id in constant time whatever their number. Each
// connection also keeps the ids of its tasks in the order of their
// "starttask" requests, so that its completion notices go out in that order
// and a push tick looks only at that connection's tasks not yet reported.
// Records stay for the life of the store: a finished task keeps answering
// "gettaskstate" with its last status, and its id stays taken.
//
// One mutex guards every record and both indexes. Lock order: the
// engine-handle lock (engine_handle.h) before the store mutex, the store mutex
// before the engine's own mutex, never the other way round. The engine reports
// on its worker thread without its mutex, so a report waiting for the store
// mutex never blocks an engine call made under it.
//
// Thread safety: every member may be called from any thread. The functions
// handed to the visits run under the store mutex: they must not call back into
// the store or take the engine-handle lock, and they leave the sending to
// their caller, so that the mutex is never held across a socket write.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace qel {

class Channel;

struct TaskRecord {
  uint64_t taskId = 0;
  int64_t sid = 0;
  int64_t done = 0;
  int64_t reported = 0;
  // The engine's latest status text when it is a JSON object; empty before
  // the first report and after one that is not an object (both read as "no
  // report yet").
  std::string lastProgress;
  // Error texts not yet pushed, oldest first; only JSON objects are kept.
  std::deque<std::string> errors;
  std::shared_ptr<Channel> channel;  // null once the connection has closed
};

class TaskStore {
 public:
  TaskStore() = default;
  TaskStore(const TaskStore&) = delete;
  TaskStore& operator=(const TaskStore&) = delete;

  // The engine's reports for `taskId` (its three callbacks); a null text, and
  // a report for a task without a record, are ignored. An empty error text
  // counts as "unkown error".
  void addError(uint64_t taskId, const char* text);
  void setProgress(uint64_t taskId, const char* text);
  void markDone(uint64_t taskId);

  // When no record has `taskId`, calls `start` with the mutex held (so that a
  // report for the new task, which the engine may make at once, waits for the
  // record) and appends the record when it returns 0. Returns start's result,
  // or nullopt (and `start` is not called) when the id is taken.
  template <typename Start>
  std::optional<int> startTask(uint64_t taskId, int64_t sid, std::shared_ptr<Channel> channel, Start&& start) {
    std::lock_guard lock(mutex_);
    if (records_.count(taskId) != 0) return std::nullopt;
    const int result = start();
    if (result == 0) appendLocked(taskId, sid, std::move(channel));
    return result;
  }

  // Appends the record of a task the engine has accepted (the engine calls are
  // the caller's business). False, and nothing added, when the id is taken.
  bool append(uint64_t taskId, int64_t sid, std::shared_ptr<Channel> channel);

  // True when `channel` started the task and is still attached to it.
  bool isOwnedBy(uint64_t taskId, const Channel* channel) const;

  // Calls `visit` with the record of `taskId` that `channel` started, or with
  // null when there is none (another connection's task, a detached one, an
  // unknown id), under the mutex, and returns what it returns.
  template <typename Visit>
  auto visitOwned(uint64_t taskId, const Channel* channel, Visit&& visit) const {
    std::lock_guard lock(mutex_);
    return visit(findOwnedLocked(taskId, channel));
  }

  // Calls `visit` for every record of `channel` not yet reported, in the order
  // of their starts, under the mutex. A record that `visit` marks reported is
  // not visited again.
  template <typename Visit>
  void visitUnreported(const Channel* channel, Visit&& visit) {
    std::lock_guard lock(mutex_);
    auto tasks = byChannel_.find(channel);
    if (tasks == byChannel_.end()) return;
    std::vector<uint64_t>& ids = tasks->second.unreported;
    for (uint64_t id : ids) visit(records_.at(id));
    std::erase_if(ids, [this](uint64_t id) { return records_.at(id).reported != 0; });
  }

  // Drops `channel` from every record it started (the connection has closed).
  // The records stay, found only by their id.
  void detach(const Channel* channel);

  // A copy of the record with this id (tests and diagnostics).
  std::optional<TaskRecord> find(uint64_t taskId) const;

  // The number of records.
  size_t size() const;

 private:
  // A connection's tasks, in the order of their starts.
  struct ChannelTasks {
    std::vector<uint64_t> started;
    std::vector<uint64_t> unreported;
  };

  // REQUIRES: mutex_ held.
  void appendLocked(uint64_t taskId, int64_t sid, std::shared_ptr<Channel> channel);
  TaskRecord* findLocked(uint64_t taskId);
  const TaskRecord* findOwnedLocked(uint64_t taskId, const Channel* channel) const;

  mutable std::mutex mutex_;
  std::unordered_map<uint64_t, TaskRecord> records_;            // guarded by mutex_
  std::unordered_map<const Channel*, ChannelTasks> byChannel_;  // guarded by mutex_; attached records only
};

}  // namespace qel
