// The body of an engine's worker thread: takes started and aborted tasks from
// the task list in list order, runs their commands and reports through the
// callbacks. Runs on the worker thread only; returns when `m_stop` is set.
#pragma once

namespace qel {

class EngineContext;

void taskWorker(EngineContext& engine);

}  // namespace qel
