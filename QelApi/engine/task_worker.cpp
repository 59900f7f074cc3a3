// Interim worker body: it only idles until the engine asks it to stop. The task
// runner that takes tasks from the list replaces this file.
#include "engine/task_worker.h"

#include <chrono>

#include "engine/engine_context.h"

namespace qel {

void taskWorker(EngineContext& engine) {
  while (!engine.m_stop.load()) {
    engine.waitForWork(std::chrono::milliseconds(100));
  }
}

}  // namespace qel
