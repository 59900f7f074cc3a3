// The task requests and the pushed task notices: "starttask" has the engine
// create, fill and start a task and records it; "aborttask" has the engine end
// a task this connection started; "gettaskstate" answers with the task's last
// status from the store; each connection's one-second tick pushes the error
// notices and the one completion notice of its tasks.
//
// Thread safety: every function may run on any thread; the store (task_store.h)
// and the engine lease (engine_handle.h) do the locking, in their fixed order.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace qel {

class Channel;
struct DaemonState;
struct InputParam;

void HandleStartTask(DaemonState& state, const InputParam& param);
void HandleAbortTask(DaemonState& state, const InputParam& param);
void HandleGetTaskState(DaemonState& state, const InputParam& param);

// Sends the queued error notices and the completion notice of every task of
// `channel` not yet reported. Run by the connection's tick.
void PushTaskEvents(DaemonState& state, const std::shared_ptr<Channel>& channel);

}  // namespace qel
