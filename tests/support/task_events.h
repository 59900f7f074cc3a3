// What the engine's callbacks said about tasks, recorded for the worker and job
// tests: every progress report (parsed TaskStateJson) and every completion, in
// arrival order, with waits for a task's completion or for a report that
// matches a condition. Hooks let a test act inside a callback (abort from a
// progress report, look at the disk when the completion arrives).
//
// Thread safety: the callbacks arrive on an engine's worker thread; every
// member may be called from any thread. One recorder serves the whole test
// program (the callbacks are plain function pointers); attach() clears it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "qelapi.h"
#include "support/test_support.h"

namespace qel::test {

// One TaskStateJson text, read back.
struct StateReport {
  bool parsed = false;
  bool error = false;
  int errorCode = -1;
  std::vector<std::string> ids;
  int totalPhase = -1;
  int currentPhase = -1;
  std::string errorDetail;
  int progress = -1;
  std::string estimateTime;
  std::vector<std::string> outputs;
  std::string text;
};

inline std::vector<std::string> readStrings(const rapidjson::Value& object, const char* key) {
  std::vector<std::string> items;
  auto it = object.FindMember(key);
  if (it == object.MemberEnd() || !it->value.IsArray()) return items;
  for (const auto& item : it->value.GetArray()) {
    if (item.IsString()) items.emplace_back(item.GetString());
  }
  return items;
}

inline StateReport parseReport(const std::string& text) {
  StateReport report;
  report.text = text;
  rapidjson::Document doc;
  doc.Parse(text.c_str(), text.size());
  if (doc.HasParseError() || !doc.IsObject()) return report;
  auto boolean = [&](const char* key, bool& out) {
    auto it = doc.FindMember(key);
    if (it != doc.MemberEnd() && it->value.IsBool()) out = it->value.GetBool();
  };
  auto integer = [](const rapidjson::Value& object, const char* key, int& out) {
    auto it = object.FindMember(key);
    if (it != object.MemberEnd() && it->value.IsInt()) out = it->value.GetInt();
  };
  boolean("error", report.error);
  integer(doc, "errorCode", report.errorCode);
  integer(doc, "totalPhase", report.totalPhase);
  integer(doc, "currentPhase", report.currentPhase);
  auto detail = doc.FindMember("errorDetail");
  if (detail != doc.MemberEnd() && detail->value.IsString()) report.errorDetail = detail->value.GetString();
  auto phase = doc.FindMember("phaseDetail");
  if (phase != doc.MemberEnd() && phase->value.IsObject()) {
    integer(phase->value, "progress", report.progress);
    auto estimate = phase->value.FindMember("estimateTime");
    if (estimate != phase->value.MemberEnd() && estimate->value.IsString()) {
      report.estimateTime = estimate->value.GetString();
    }
  }
  report.ids = readStrings(doc, "ids");
  report.outputs = readStrings(doc, "outputs");
  report.parsed = true;
  return report;
}

class TaskEvents {
 public:
  struct Event {
    uint64_t id = 0;
    bool completion = false;  // else a progress report
    StateReport report;       // progress reports only
  };

  // Installs this recorder's callbacks on `handle` and forgets earlier events
  // and hooks.
  void attach(void* handle) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      events_.clear();
      onProgress_ = nullptr;
      onComplete_ = nullptr;
    }
    qelapi_set_progress_callback(handle, &TaskEvents::progressThunk);
    qelapi_set_complete_callback(handle, &TaskEvents::completeThunk);
  }

  // Called on the worker thread after the report is recorded (without the
  // recorder's lock, so the hook may call the exports).
  void onProgress(std::function<void(void*, uint64_t, const StateReport&)> hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    onProgress_ = std::move(hook);
  }
  // Called on the worker thread before the completion is recorded.
  void onComplete(std::function<void(void*, uint64_t)> hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    onComplete_ = std::move(hook);
  }

  std::vector<Event> events(uint64_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Event> mine;
    for (const Event& event : events_) {
      if (event.id == id) mine.push_back(event);
    }
    return mine;
  }
  std::vector<StateReport> reports(uint64_t id) {
    std::vector<StateReport> list;
    for (const Event& event : events(id)) {
      if (!event.completion) list.push_back(event.report);
    }
    return list;
  }
  int completions(uint64_t id) {
    int count = 0;
    for (const Event& event : events(id)) count += event.completion ? 1 : 0;
    return count;
  }

  bool waitForCompletion(uint64_t id, std::chrono::seconds timeout = std::chrono::seconds(120)) {
    return waitFor(timeout, [&] {
      for (const Event& event : events_) {
        if (event.id == id && event.completion) return true;
      }
      return false;
    });
  }
  bool waitForReport(uint64_t id, const std::function<bool(const StateReport&)>& match,
                     std::chrono::seconds timeout = std::chrono::seconds(120)) {
    return waitFor(timeout, [&] {
      for (const Event& event : events_) {
        if (event.id == id && !event.completion && match(event.report)) return true;
      }
      return false;
    });
  }

 private:
  static void progressThunk(void* handle, uint64_t id, const char* text);
  static void completeThunk(void* handle, uint64_t id, const char* text);

  template <typename Predicate>
  bool waitFor(std::chrono::seconds timeout, Predicate done) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, done);
  }

  void record(Event event) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      events_.push_back(std::move(event));
    }
    changed_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Event> events_;
  std::function<void(void*, uint64_t, const StateReport&)> onProgress_;
  std::function<void(void*, uint64_t)> onComplete_;
};

inline TaskEvents& taskEvents() {
  static TaskEvents recorder;
  return recorder;
}

inline void TaskEvents::progressThunk(void* handle, uint64_t id, const char* text) {
  TaskEvents& self = taskEvents();
  Event event;
  event.id = id;
  event.report = parseReport(text != nullptr ? text : "");
  StateReport copy = event.report;
  self.record(std::move(event));
  std::function<void(void*, uint64_t, const StateReport&)> hook;
  {
    std::lock_guard<std::mutex> lock(self.mutex_);
    hook = self.onProgress_;
  }
  if (hook) hook(handle, id, copy);
}

inline void TaskEvents::completeThunk(void* handle, uint64_t id, const char*) {
  TaskEvents& self = taskEvents();
  std::function<void(void*, uint64_t)> hook;
  {
    std::lock_guard<std::mutex> lock(self.mutex_);
    hook = self.onComplete_;
  }
  if (hook) hook(handle, id);
  Event event;
  event.id = id;
  event.completion = true;
  self.record(std::move(event));
}

// A generated clip of this length (the other settings as ClipSpec's defaults).
inline ClipSpec clipOf(double seconds) {
  ClipSpec recipe;
  recipe.seconds = seconds;
  return recipe;
}

// Task ids unique within the test program, so log lines of one task are never
// mistaken for another's.
inline uint64_t nextTaskId() {
  static std::atomic<uint64_t> next{1000};
  return next++;
}

// The command lines the worker logged (at debug level) for task `id`, one per
// line, for failure messages.
inline std::string loggedCommands(const std::string& logFile, uint64_t id) {
  std::string text;
  try {
    text = readFile(logFile);
  } catch (const std::exception&) {
    return "";
  }
  const std::string marker = "****** task(" + std::to_string(id) + ") index=";
  std::string lines;
  size_t pos = 0;
  while ((pos = text.find(marker, pos)) != std::string::npos) {
    size_t end = text.find('\n', pos);
    std::string line = text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    if (line.find(", result=") == std::string::npos) lines += line + "\n";
    pos = end == std::string::npos ? text.size() : end;
  }
  return lines;
}

// ---- Request texts -------------------------------------------------------------

// `text` as a JSON string literal (quoted and escaped).
inline std::string jsonText(const std::string& text) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.String(text.c_str(), static_cast<rapidjson::SizeType>(text.size()));
  return buffer.GetString();
}

// One input or output item of a task operation.
inline std::string ioItem(int type, const std::string& value, const std::string& prevOp = "") {
  std::string item = "{\"type\":" + std::to_string(type) + ",\"value\":" + jsonText(value);
  if (!prevOp.empty()) item += ",\"prevOp\":" + jsonText(prevOp);
  return item + "}";
}

inline std::string joinItems(const std::vector<std::string>& items) {
  std::string joined;
  for (const std::string& item : items) joined += (joined.empty() ? "" : ",") + item;
  return joined;
}

// One element of a TaskRequest's "operations".
inline std::string taskOperation(const std::vector<std::string>& inputs, const std::string& transform,
                                 const std::vector<std::string>& outputs) {
  return "{\"input\":[" + joinItems(inputs) + "],\"transform\":" + jsonText(transform) + ",\"output\":[" +
         joinItems(outputs) + "]}";
}

inline std::string taskRequest(const std::vector<std::string>& operations) {
  return "{\"sid\":7,\"operations\":[" + joinItems(operations) + "]}";
}

// A task of one operation whose input is the graph an earlier "process"
// request returned, written to `out`.
inline std::string oneGraphTask(const std::string& graph, const std::string& out) {
  return "{\"operations\":[{\"input\":[{\"type\":2,\"value\":" + jsonText(graph) +
         "}],\"transform\":\"\",\"output\":[{\"type\":1,\"value\":" + jsonText(out) + "}]}]}";
}

// One input item of a ProcessRequest.
inline std::string processInput(int type, const std::string& value, double duration) {
  return "{\"type\":" + std::to_string(type) + ",\"value\":" + jsonText(value) +
         ",\"duration\":" + std::to_string(duration) + "}";
}

// Sends a whole "process" request and returns the graph of its reply ("" on
// failure).
inline std::string processReplyGraph(void* handle, const std::string& request) {
  char* reply = nullptr;
  if (qelapi_process_lavfi(handle, request.c_str(), &reply) != 0 || reply == nullptr) {
    qelapi_free_str(nullptr, &reply);
    return "";
  }
  rapidjson::Document doc;
  doc.Parse(reply);
  qelapi_free_str(nullptr, &reply);
  if (doc.HasParseError() || !doc.IsObject()) return "";
  auto operation = doc.FindMember("operation");
  if (operation == doc.MemberEnd() || !operation->value.IsObject()) return "";
  auto output = operation->value.FindMember("output");
  if (output == operation->value.MemberEnd() || !output->value.IsString()) return "";
  return output->value.GetString();
}

// Runs a "process" request and returns the graph of its reply ("" on failure).
inline std::string processGraph(void* handle, const std::string& description, const std::vector<std::string>& inputs,
                                const std::string& transform, const std::string& outputConfig = "") {
  return processReplyGraph(
      handle, "{\"sid\":3,\"operation\":{\"input\":[" + joinItems(inputs) + "],\"transform\":" + jsonText(transform) +
                  ",\"description\":" + jsonText(description) + ",\"outputConfig\":" + jsonText(outputConfig) + "}}");
}

// The init text of an engine with the real ffmpeg and ffprobe that logs and
// works in `folder`.
inline std::string engineInitJson(const std::string& folder, const std::string& qelId) {
  return "{\"log_level\":\"debug\",\"log_path\":" + jsonText(folder) + ",\"tmp_path\":" + jsonText(folder) +
         ",\"qel_id\":" + jsonText(qelId) + ",\"ffmpeg_pathname\":" + jsonText(ffmpegPath()) +
         ",\"ffprobe_pathname\":" + jsonText(ffprobePath()) + "}";
}

// Create, add and start, as the daemon does: the first non-zero result, or 0.
inline int submitTask(void* handle, uint64_t id, const std::string& request) {
  if (int result = qelapi_create_task(handle, id); result != 0) return result;
  if (int result = qelapi_add_task_operation(handle, id, request.c_str()); result != 0) return result;
  return qelapi_start_task(handle, id);
}

}  // namespace qel::test
