#include "task_store.h"

#include <mutex>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "channel.h"
#include "engine_handle.h"
#include "qelapi.h"
#include "replies.h"
#include "request_dispatcher.h"

namespace qel {
namespace {

// The store lives from program start to program end; records are never removed.
std::mutex gStoreMutex;
std::list<TaskRecord> gStore;  // guarded by gStoreMutex

// REQUIRES: gStoreMutex held.
TaskRecord* FindById(uint64_t taskId) {
  for (TaskRecord& record : gStore) {
    if (record.taskId == taskId) return &record;
  }
  return nullptr;
}

// REQUIRES: gStoreMutex held. A detached record never matches.
TaskRecord* FindByIdAndChannel(uint64_t taskId, const Channel* channel) {
  for (TaskRecord& record : gStore) {
    if (record.taskId == taskId && record.channel != nullptr && record.channel.get() == channel) {
      return &record;
    }
  }
  return nullptr;
}

// REQUIRES: gStoreMutex held.
void AppendLocked(uint64_t taskId, int64_t sid, std::shared_ptr<Channel> channel) {
  TaskRecord record;
  record.taskId = taskId;
  record.sid = sid;
  record.channel = std::move(channel);
  gStore.push_back(std::move(record));
}

std::string WriteCompact(const rapidjson::Value& value) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  value.Accept(writer);
  return std::string(buffer.GetString(), buffer.GetSize());
}

// Parses an engine text that must be a JSON object; false otherwise.
bool ParseObject(const std::string& text, rapidjson::Document& document) {
  document.Parse<rapidjson::kParseIterativeFlag>(text.c_str(), text.size());
  return !document.HasParseError() && document.IsObject();
}

// `document` (an object) with "sid" and "taskId" appended, written compactly.
std::string AppendSidAndTaskId(rapidjson::Document& document, int64_t sid, uint64_t taskId) {
  auto& allocator = document.GetAllocator();
  document.AddMember("sid", rapidjson::Value(sid), allocator);
  document.AddMember("taskId", rapidjson::Value(taskId), allocator);
  return WriteCompact(document);
}

}  // namespace

void OnTaskError(void* /*handle*/, uint64_t taskId, const char* text) {
  if (text == nullptr) return;
  std::lock_guard lock(gStoreMutex);
  if (TaskRecord* record = FindById(taskId)) {
    record->errors.emplace_back(text[0] == '\0' ? "unkown error" : text);
  }
}

void OnTaskProgress(void* /*handle*/, uint64_t taskId, const char* text) {
  if (text == nullptr) return;
  std::lock_guard lock(gStoreMutex);
  if (TaskRecord* record = FindById(taskId)) record->lastProgress = text;
}

void OnTaskComplete(void* /*handle*/, uint64_t taskId, const char* /*text*/) {
  std::lock_guard lock(gStoreMutex);
  if (TaskRecord* record = FindById(taskId)) record->done = 1;
}

void HandleStartTask(const InputParam& param) {
  // Lease before the store mutex (the daemon's lock order); the store mutex is
  // held across the three engine calls so that a callback for the new task,
  // which the worker may make at once, waits for the record to exist.
  EngineLease engine;
  std::lock_guard lock(gStoreMutex);
  if (FindById(param.taskId) != nullptr) {
    ResponseError(*param.channel, param.sid, QEL_ERR_REPEATED_TASK_ID,
                  qelapi_get_error_string(QEL_ERR_REPEATED_TASK_ID));
    return;
  }
  int result = qelapi_create_task(engine.get(), param.taskId);
  if (result == 0) result = qelapi_add_task_operation(engine.get(), param.taskId, param.data.c_str());
  if (result == 0) result = qelapi_start_task(engine.get(), param.taskId);
  if (result != 0) {
    ResponseError(*param.channel, param.sid, result, qelapi_get_error_string(result));
    return;
  }
  AppendLocked(param.taskId, param.sid, param.channel);
}

bool AppendTaskRecord(uint64_t taskId, int64_t sid, std::shared_ptr<Channel> channel) {
  std::lock_guard lock(gStoreMutex);
  if (FindById(taskId) != nullptr) return false;
  AppendLocked(taskId, sid, std::move(channel));
  return true;
}

void HandleAbortTask(const InputParam& param) {
  bool found = false;
  {
    std::lock_guard lock(gStoreMutex);
    found = FindByIdAndChannel(param.taskId, param.channel.get()) != nullptr;
  }
  if (!found) {
    ResponseError(*param.channel, param.sid, QEL_ERR_TASK_NOT_EXIST, kTaskIdNotExistText);
    return;
  }
  int result = 0;
  {
    EngineLease engine;
    result = qelapi_remove_task(engine.get(), param.taskId);
  }
  if (result != 0) ResponseError(*param.channel, param.sid, result, qelapi_get_error_string(result));
}

std::string TaskStateTemplateText(int64_t sid, uint64_t taskId, bool known) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.StartObject();
  writer.Key("sid");
  writer.Int64(sid);
  writer.Key("taskId");
  writer.Uint64(taskId);
  writer.Key("error");
  writer.Bool(!known);
  writer.Key("errorCode");
  writer.Int(known ? 0 : QEL_ERR_INVALID_PARAMS);
  writer.Key("errorDetail");
  writer.String(known ? "" : "invalid parameters");
  writer.Key("totalPhase");
  writer.Int(0);
  writer.Key("currentPhase");
  writer.Int(0);
  writer.Key("phaseDetail");
  writer.StartObject();
  writer.Key("id");
  writer.String("");
  writer.Key("progress");
  writer.Int(known ? 0 : 100);
  writer.Key("speed");
  writer.String("0x");
  writer.Key("size");
  writer.String("0kB");
  writer.Key("usedTime");
  writer.String("");
  writer.Key("estimateTime");
  writer.String("");
  writer.Key("description");
  writer.String("");
  writer.EndObject();
  writer.Key("ids");
  writer.StartArray();
  writer.EndArray();
  writer.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize());
}

void HandleGetTaskState(const InputParam& param) {
  std::lock_guard lock(gStoreMutex);
  TaskRecord* record = FindByIdAndChannel(param.taskId, param.channel.get());
  std::string reply;
  if (record == nullptr) {
    reply = TaskStateTemplateText(param.sid, param.taskId, false);
  } else {
    rapidjson::Document document;
    // A status text that is not a JSON object (the engine always sends one)
    // reads as no report yet.
    if (!record->lastProgress.empty() && ParseObject(record->lastProgress, document)) {
      reply = AppendSidAndTaskId(document, param.sid, param.taskId);
    } else {
      reply = TaskStateTemplateText(param.sid, param.taskId, true);
    }
  }
  SendLogged(*param.channel, std::move(reply));
}

void PushTaskEvents(const std::shared_ptr<Channel>& channel) {
  std::lock_guard lock(gStoreMutex);
  for (TaskRecord& record : gStore) {
    if (record.channel == nullptr || record.channel.get() != channel.get() || record.reported != 0) continue;
    for (const std::string& text : record.errors) {
      rapidjson::Document document;
      if (!ParseObject(text, document)) continue;  // not JSON: dropped
      SendLogged(*channel, AppendSidAndTaskId(document, 0, record.taskId));
    }
    record.errors.clear();
    if (record.done == 1) {
      channel->send(TaskIdReplyText(record.sid, record.taskId));
      record.reported = 1;
    }
  }
}

void DetachChannel(const Channel* channel) {
  std::lock_guard lock(gStoreMutex);
  for (TaskRecord& record : gStore) {
    if (record.channel.get() == channel) record.channel.reset();
  }
}

bool FindTaskRecord(uint64_t taskId, TaskRecord& out) {
  std::lock_guard lock(gStoreMutex);
  TaskRecord* record = FindById(taskId);
  if (record == nullptr) return false;
  out = *record;
  return true;
}

}  // namespace qel
