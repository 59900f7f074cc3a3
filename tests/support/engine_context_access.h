// The engine context's private state, for tests that set it up or look at it
// directly. Hold lock() while touching anything the engine mutex guards.
#pragma once

#include <cstdint>
#include <list>
#include <mutex>

#include "engine/engine_context.h"

namespace qel {

struct EngineContextTestAccess {
  static std::unique_lock<std::mutex> lock(EngineContext& engine) { return std::unique_lock(engine.m_mutex); }
  static InitConfig& config(EngineContext& engine) { return engine.m_config; }
  static std::list<TaskEntry>& tasks(EngineContext& engine) { return engine.m_tasks; }
  static LavfiParser& parser(EngineContext& engine) { return engine.m_parser; }
  static TaskEntry* findTaskLocked(EngineContext& engine, std::uint64_t id) { return engine.findTaskLocked(id); }
  static TaskEntry* nextRunnableTaskLocked(EngineContext& engine) { return engine.nextRunnableTaskLocked(); }
  static ErrorCallback errorCallback(EngineContext& engine) { return engine.m_errorCallback.load(); }
  static bool workerJoinable(EngineContext& engine) { return engine.m_worker.joinable(); }
};

}  // namespace qel
