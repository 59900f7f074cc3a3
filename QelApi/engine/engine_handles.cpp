#include "engine/engine_handles.h"

#include <condition_variable>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "engine/engine_context.h"

namespace qel {
namespace {

struct LiveEngine {
  std::unique_ptr<EngineContext> engine;
  int calls = 0;          // EngineCalls inside it now
  bool retiring = false;  // retireEngine has begun; no call enters any more
};

// One lock for every handle: entering and leaving a call is a map lookup and
// a counter, short next to anything an export does.
std::mutex gMutex;
std::condition_variable gCallLeft;
std::unordered_map<void*, LiveEngine>& liveEngines() {
  // Never destroyed: a call may still leave during process exit.
  static auto* engines = new std::unordered_map<void*, LiveEngine>();
  return *engines;
}

}  // namespace

void* publishEngine(std::unique_ptr<EngineContext> engine) {
  void* handle = engine.get();
  std::lock_guard lock(gMutex);
  liveEngines()[handle] = LiveEngine{std::move(engine), 0, false};
  return handle;
}

EngineCall::EngineCall(void* handle) {
  if (handle == nullptr) return;
  std::lock_guard lock(gMutex);
  auto it = liveEngines().find(handle);
  if (it == liveEngines().end() || it->second.retiring) return;
  ++it->second.calls;
  engine_ = it->second.engine.get();
}

EngineCall::~EngineCall() {
  if (engine_ == nullptr) return;
  std::lock_guard lock(gMutex);
  auto it = liveEngines().find(engine_);
  if (it != liveEngines().end() && --it->second.calls == 0 && it->second.retiring) gCallLeft.notify_all();
}

std::unique_ptr<EngineContext> retireEngine(void* handle) {
  if (handle == nullptr) return nullptr;
  EngineContext* engine = nullptr;
  {
    std::lock_guard lock(gMutex);
    auto it = liveEngines().find(handle);
    if (it == liveEngines().end() || it->second.retiring) return nullptr;
    it->second.retiring = true;
    engine = it->second.engine.get();
  }
  // Outside the lock: the calls being ended must be able to leave.
  engine->calls().cancel();
  std::unique_lock lock(gMutex);
  gCallLeft.wait(lock, [&] { return liveEngines().at(handle).calls == 0; });
  auto node = liveEngines().extract(handle);
  return std::move(node.mapped().engine);
}

}  // namespace qel
