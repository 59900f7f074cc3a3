// log4cpp's root category behind the engine's log functions, and the guard that
// keeps statements away from log4cpp once it has been shut down at exit.
#include "base/log.h"

#include <log4cpp/Category.hh>
#include <log4cpp/Priority.hh>

#include <atomic>
#include <mutex>
#include <string>

#include <fmt/format.h>

namespace qel {
namespace {

// Both are trivially destructible and constant-initialised, so they stay usable
// during static destruction, after the guard itself is gone: a late statement
// (from a thread that outlives main) then sees the flag and writes nothing.
constinit std::atomic<bool> g_logShutDown{false};
constinit std::mutex g_logMutex;

}  // namespace

LogGuard::LogGuard() {
  // log4cpp keeps its categories in function-local statics; building the root
  // here, before this guard is complete, makes those statics older than the
  // guard, so the guard is destroyed first and shutdown still finds them alive.
  log4cpp::Category::getRoot();
}

LogGuard::~LogGuard() {
  std::lock_guard<std::mutex> lock(g_logMutex);
  g_logShutDown.store(true);
  alive_ = false;
  log4cpp::Category::shutdown();
}

LogGuard& getLogGuard() {
  static LogGuard guard;
  return guard;
}

bool logEnabled(int priority) {
  getLogGuard();
  std::lock_guard<std::mutex> lock(g_logMutex);
  if (g_logShutDown.load()) return false;
  return log4cpp::Category::getRoot().isPriorityEnabled(priority);
}

void logText(int priority, std::string_view message) {
  getLogGuard();
  std::lock_guard<std::mutex> lock(g_logMutex);
  if (g_logShutDown.load()) return;
  log4cpp::Category& root = log4cpp::Category::getRoot();
  if (!root.isPriorityEnabled(priority)) return;
  // The string overload writes the text as it is; it is never a format.
  root.log(priority, std::string(message));
}

void logAt(int priority, std::string_view method, int line, std::string_view message) {
  if (!logEnabled(priority)) return;
  logText(priority, fmt::format("[{},{}]:{}", method, line, message));
}

}  // namespace qel
