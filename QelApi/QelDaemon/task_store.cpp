#include "QelDaemon/task_store.h"

#include <string_view>

#include "QelDaemon/channel.h"
#include "QelDaemon/json_object_text.h"

namespace qel {

void TaskStore::appendLocked(uint64_t taskId, int64_t sid, std::shared_ptr<Channel> channel) {
  TaskRecord& record = records_[taskId];
  record.taskId = taskId;
  record.sid = sid;
  record.channel = std::move(channel);
  if (record.channel != nullptr) {
    ChannelTasks& tasks = byChannel_[record.channel.get()];
    tasks.started.push_back(taskId);
    tasks.unreported.push_back(taskId);
  }
}

TaskRecord* TaskStore::findLocked(uint64_t taskId) {
  auto it = records_.find(taskId);
  return it == records_.end() ? nullptr : &it->second;
}

const TaskRecord* TaskStore::findOwnedLocked(uint64_t taskId, const Channel* channel) const {
  auto it = records_.find(taskId);
  if (it == records_.end()) return nullptr;
  const TaskRecord& record = it->second;
  // A detached record never matches.
  return record.channel != nullptr && record.channel.get() == channel ? &record : nullptr;
}

void TaskStore::addError(uint64_t taskId, const char* text) {
  if (text == nullptr) return;
  // Only an object can carry the members a notice adds; anything else would
  // be dropped when pushed, so it is dropped now (checked before the lock).
  std::string_view error = text[0] == '\0' ? std::string_view("unkown error") : std::string_view(text);
  if (!IsJsonObjectText(error)) return;
  std::lock_guard lock(mutex_);
  if (TaskRecord* record = findLocked(taskId)) record->errors.emplace_back(error);
}

void TaskStore::setProgress(uint64_t taskId, const char* text) {
  if (text == nullptr) return;
  // Checked here, some ten times a second, rather than on every
  // "gettaskstate": a text that is not an object reads as no report yet.
  const bool usable = IsJsonObjectText(text);
  std::lock_guard lock(mutex_);
  if (TaskRecord* record = findLocked(taskId)) {
    if (usable) {
      record->lastProgress = text;
    } else {
      record->lastProgress.clear();
    }
  }
}

void TaskStore::markDone(uint64_t taskId) {
  std::lock_guard lock(mutex_);
  if (TaskRecord* record = findLocked(taskId)) record->done = 1;
}

bool TaskStore::append(uint64_t taskId, int64_t sid, std::shared_ptr<Channel> channel) {
  std::lock_guard lock(mutex_);
  if (records_.count(taskId) != 0) return false;
  appendLocked(taskId, sid, std::move(channel));
  return true;
}

bool TaskStore::isOwnedBy(uint64_t taskId, const Channel* channel) const {
  std::lock_guard lock(mutex_);
  return findOwnedLocked(taskId, channel) != nullptr;
}

void TaskStore::detach(const Channel* channel) {
  std::lock_guard lock(mutex_);
  auto tasks = byChannel_.find(channel);
  if (tasks == byChannel_.end()) return;
  for (uint64_t id : tasks->second.started) records_.at(id).channel.reset();
  byChannel_.erase(tasks);
}

std::optional<TaskRecord> TaskStore::find(uint64_t taskId) const {
  std::lock_guard lock(mutex_);
  auto it = records_.find(taskId);
  if (it == records_.end()) return std::nullopt;
  return it->second;
}

size_t TaskStore::size() const {
  std::lock_guard lock(mutex_);
  return records_.size();
}

}  // namespace qel
