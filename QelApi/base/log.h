// The engine's log: log4cpp's root category, with the rolling file "QelApi.log"
// attached by qelapi_init. Every statement of the library goes through these
// functions, which take the process-wide log guard first so that nothing is
// logged after log4cpp has been shut down at exit.
//
// Messages are always plain text, never format strings: callers format with fmt
// and pass the result. Thread-safe.
#pragma once

#include <string>
#include <string_view>

namespace qel {

// log4cpp's priority values.
enum LogPriority : int {
  kLogError = 300,
  kLogWarn = 400,
  kLogNotice = 500,
  kLogInfo = 600,
  kLogDebug = 700,
};

// Destroyed at process exit (or library unload); its destructor shuts log4cpp down.
class LogGuard {
 public:
  LogGuard();
  ~LogGuard();
  LogGuard(const LogGuard&) = delete;
  LogGuard& operator=(const LogGuard&) = delete;
  bool alive() const { return alive_; }

 private:
  bool alive_ = true;
};

// The process-wide guard, created on first use (safe against concurrent first calls).
LogGuard& getLogGuard();

// True when the root category would write a statement of this priority.
bool logEnabled(int priority);

// Writes `message` unchanged at `priority` to the root category.
void logText(int priority, std::string_view message);

// Writes "[" + method + "," + line + "]:" + message at `priority`.
void logAt(int priority, std::string_view method, int line, std::string_view message);

}  // namespace qel

#define QEL_LOG_ERROR(message) ::qel::logAt(::qel::kLogError, __func__, __LINE__, (message))
#define QEL_LOG_WARN(message) ::qel::logAt(::qel::kLogWarn, __func__, __LINE__, (message))
#define QEL_LOG_NOTICE(message) ::qel::logAt(::qel::kLogNotice, __func__, __LINE__, (message))
#define QEL_LOG_INFO(message) ::qel::logAt(::qel::kLogInfo, __func__, __LINE__, (message))
#define QEL_LOG_DEBUG(message) ::qel::logAt(::qel::kLogDebug, __func__, __LINE__, (message))
