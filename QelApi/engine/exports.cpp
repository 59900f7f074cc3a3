// The eighteen exported functions: argument checks in their fixed order, then
// the engine context, the configuration requests, the log or the process
// clean-up. No exception leaves this file: each export catches everything and
// answers with its failure result.
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "qelapi.h"
#include "engine/config_commands.h"
#include "engine/engine_context.h"
#include "engine/engine_handles.h"
#include "engine/error_texts.h"
#include "engine/init_config.h"
#include "base/log.h"
#include "engine/process_cleanup.h"

namespace qel {
namespace {

// Hands `text` back as a calloc'ed, NUL-terminated copy. False (and a null
// out-parameter) when the allocation fails.
bool copyReply(const std::string& text, char** out) {
  char* copy = static_cast<char*>(std::calloc(text.size() + 1, 1));
  *out = copy;
  if (copy == nullptr) return false;
  std::memcpy(copy, text.data(), text.size());
  return true;
}

// Runs a forwarded request that fills `reply`, then copies the reply whatever
// the request's result was.
template <typename Request>
int answerWithReply(char** out, Request&& request) {
  std::string reply;
  int result = QEL_ERR_UNKNOWN;
  try {
    result = request(reply);
  } catch (const std::bad_alloc&) {
    result = QEL_ERR_OUT_OF_MEMORY;
  } catch (...) {
    result = QEL_ERR_UNKNOWN;
  }
  if (!copyReply(reply, out)) return QEL_ERR_OUT_OF_MEMORY;
  return result;
}

template <typename Call>
int guardedCode(Call&& call) {
  try {
    return call();
  } catch (const std::bad_alloc&) {
    return QEL_ERR_OUT_OF_MEMORY;
  } catch (...) {
    return QEL_ERR_UNKNOWN;
  }
}

template <typename Call>
void guardedVoid(Call&& call) {
  try {
    call();
  } catch (...) {
  }
}

int logPriorityForLetter(char level) {
  switch (level) {
    case 'd': return kLogDebug;
    case 'e': return kLogError;
    case 'i': return kLogInfo;
    case 'n': return kLogNotice;
    case 'w': return kLogWarn;
    default: return -1;
  }
}

// vsnprintf into a string; empty on any failure. Never throws.
std::string formatMessage(const char* format, std::va_list args) {
  std::va_list measure;
  va_copy(measure, args);
  int length = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (length <= 0) return {};
  try {
    std::string message(static_cast<size_t>(length) + 1, '\0');
    std::vsnprintf(message.data(), message.size(), format, args);
    message.resize(static_cast<size_t>(length));
    return message;
  } catch (...) {
    return {};
  }
}

bool pathExists(const std::string& path) {
  std::error_code ec;
  return !path.empty() && std::filesystem::exists(path, ec);
}

}  // namespace
}  // namespace qel

using qel::EngineCall;
using qel::EngineContext;

extern "C" {

void* qelapi_init(const char* config) {
  try {
    qel::InitConfig parsed = qel::parseInitConfig(config);
    if (!qel::hasRequiredValues(parsed)) {
      qel::printInitLabels(parsed, stdout);
      return nullptr;
    }
    qel::setupEngineLog(parsed);
    if (!qel::pathExists(parsed.ffmpeg_pathname)) {
      qel::logText(qel::kLogWarn, "file don't exist: " + parsed.ffmpeg_pathname);
      return nullptr;
    }
    auto engine = std::make_unique<EngineContext>(parsed);
    if (!engine->startWorker()) return nullptr;
    return qel::publishEngine(std::move(engine));
  } catch (...) {
    return nullptr;
  }
}

void qelapi_un_init(void* handle) {
  {
    EngineCall call(handle);
    if (call.get() == nullptr) return;
    // Called from a callback, the worker would wait for itself and the context
    // would be freed under it. Refuse; a later call from another thread shuts
    // the engine down.
    if (call.get()->isWorkerThread()) {
      QEL_LOG_ERROR(
          "qelapi_un_init called on the engine's worker thread (from a callback); refused, "
          "call it from another thread");
      return;
    }
  }
  qel::guardedVoid([&] {
    // Calls still running on other threads are ended and waited for first.
    std::unique_ptr<EngineContext> engine = qel::retireEngine(handle);
    if (!engine) return;
    engine->stopWorker();
    engine->publishRunner(nullptr);
  });
}

// Every export that takes a handle enters the engine through an EngineCall; a
// handle that is not live (never handed out, or shut down) is an argument
// error like a null one.
int qelapi_get_media_file_props(void* handle, const char* path, char** props) {
  if (handle == nullptr || path == nullptr || props == nullptr) return QEL_ERR_INVALID_PARAMS;
  EngineCall call(handle);
  if (call.get() == nullptr) return QEL_ERR_INVALID_PARAMS;
  return qel::answerWithReply(props,
                              [&](std::string& reply) { return qel::getMediaProperties(*call.get(), path, reply); });
}

int qelapi_create_task(void* handle, uint64_t taskId) {
  EngineCall call(handle);
  if (call.get() == nullptr) return QEL_ERR_INVALID_PARAMS;
  return qel::guardedCode([&] { return call.get()->createTask(taskId); });
}

int qelapi_add_task_operation(void* handle, uint64_t taskId, const char* request) {
  // Only the handle is an argument error here: id 0 is simply not in the list
  // (6512), and a null or unreadable text gives an empty operation list.
  EngineCall call(handle);
  if (call.get() == nullptr) return QEL_ERR_INVALID_PARAMS;
  return qel::guardedCode([&] { return call.get()->replaceOperations(taskId, request); });
}

int qelapi_start_task(void* handle, uint64_t taskId) {
  EngineCall call(handle);
  if (call.get() == nullptr) return QEL_ERR_INVALID_PARAMS;
  return qel::guardedCode([&] { return call.get()->startTask(taskId); });
}

int qelapi_remove_task(void* handle, uint64_t taskId) {
  EngineCall call(handle);
  if (call.get() == nullptr) return QEL_ERR_INVALID_PARAMS;
  return qel::guardedCode([&] { return call.get()->AbortTask(taskId); });
}

void qelapi_set_progress_callback(void* handle, ProgressCallback callback) {
  EngineCall call(handle);
  if (call.get() != nullptr) call.get()->setProgressCallback(callback);
}

void qelapi_set_error_callback(void* handle, ErrorCallback callback) {
  EngineCall call(handle);
  if (call.get() != nullptr) call.get()->setErrorCallback(callback);
}

void qelapi_set_complete_callback(void* handle, CompleteCallback callback) {
  EngineCall call(handle);
  if (call.get() != nullptr) call.get()->setCompleteCallback(callback);
}

const char* qelapi_get_error_string(int code) {
  try {
    return qel::errorText(code);
  } catch (...) {
    return "";
  }
}

int qelapi_set_config(void* handle, const char* request) {
  EngineCall call(handle);
  if (call.get() == nullptr) return QEL_ERR_INVALID_PARAMS;
  return qel::guardedCode([&] { return qel::setConfig(*call.get(), request); });
}

int qelapi_get_config(void* handle, const char* request, char** reply) {
  if (handle == nullptr || reply == nullptr) return QEL_ERR_INVALID_PARAMS;
  EngineCall call(handle);
  if (call.get() == nullptr) return QEL_ERR_INVALID_PARAMS;
  return qel::answerWithReply(reply, [&](std::string& text) { return qel::getConfig(*call.get(), request, text); });
}

int qelapi_process_lavfi(void* handle, const char* request, char** reply) {
  if (handle == nullptr || reply == nullptr) return QEL_ERR_INVALID_PARAMS;
  EngineCall call(handle);
  if (call.get() == nullptr) return QEL_ERR_INVALID_PARAMS;
  return qel::answerWithReply(reply,
                              [&](std::string& text) { return qel::processLavfiRequest(*call.get(), request, text); });
}

void qelapi_clean_lavfi_cache(void* handle) {
  EngineCall call(handle);
  if (call.get() == nullptr) return;
  EngineContext* engine = call.get();
  qel::guardedVoid([&] { engine->cleanParserCache(); });
}

void qelapi_free_str(void* /*unused*/, char** text) {
  if (text == nullptr) return;
  std::free(*text);
  *text = nullptr;
}

void qelapi_close_process(const char* programPath) {
  if (programPath == nullptr || programPath[0] == '\0') return;
  qel::guardedVoid([&] { qel::closeProcessByName(programPath); });
}

void qelapi_log(char level, const char* format, ...) {
  if (format == nullptr) return;
  int priority = qel::logPriorityForLetter(level);
  if (priority < 0) return;
  std::va_list args;
  va_start(args, format);
  std::string message = qel::formatMessage(format, args);
  va_end(args);
  if (message.empty()) return;
  try {
    if (!qel::hasFileLog()) return;
    // The formatted text goes to the log as it is, never as another format.
    qel::logText(priority, message);
  } catch (...) {
  }
}

}  // extern "C"
