#include "QelDaemon/task_handlers.h"

#include <optional>
#include <vector>

#include "QelDaemon/channel.h"
#include "QelDaemon/daemon_state.h"
#include "QelDaemon/json_object_text.h"
#include "QelDaemon/replies.h"
#include "QelDaemon/request_dispatcher.h"
#include "qelapi.h"

namespace qel {

void HandleStartTask(DaemonState& state, const InputParam& param) {
  // Lease before the store mutex (the daemon's lock order); the store holds
  // its mutex across the three engine calls, so that a report for the new
  // task, which the worker may make at once, waits for the record to exist.
  EngineLease engine(state.engine);
  std::optional<int> result = state.tasks.startTask(param.taskId, param.sid, param.channel, [&] {
    int code = qelapi_create_task(engine.get(), param.taskId);
    if (code == 0) code = qelapi_add_task_operation(engine.get(), param.taskId, param.data.c_str());
    if (code == 0) code = qelapi_start_task(engine.get(), param.taskId);
    return code;
  });
  if (!result) {
    ResponseError(*param.channel, param.sid, QEL_ERR_REPEATED_TASK_ID,
                  qelapi_get_error_string(QEL_ERR_REPEATED_TASK_ID));
  } else if (*result != 0) {
    ResponseError(*param.channel, param.sid, *result, qelapi_get_error_string(*result));
  }
}

void HandleAbortTask(DaemonState& state, const InputParam& param) {
  if (!state.tasks.isOwnedBy(param.taskId, param.channel.get())) {
    ResponseError(*param.channel, param.sid, QEL_ERR_TASK_NOT_EXIST, kTaskIdNotExistText);
    return;
  }
  int result = 0;
  {
    EngineLease engine(state.engine);
    result = qelapi_remove_task(engine.get(), param.taskId);
  }
  if (result != 0) ResponseError(*param.channel, param.sid, result, qelapi_get_error_string(result));
}

void HandleGetTaskState(DaemonState& state, const InputParam& param) {
  // Only the reply's text is made under the store mutex. Sending after it is
  // released keeps the order of this connection's messages: its requests and
  // its push tick run one after another on the connection's strand.
  std::string reply = state.tasks.visitOwned(param.taskId, param.channel.get(), [&](const TaskRecord* record) {
    if (record == nullptr) return TaskStateTemplateText(param.sid, param.taskId, false);
    if (record->lastProgress.empty()) return TaskStateTemplateText(param.sid, param.taskId, true);
    return AppendSidAndTaskId(record->lastProgress, param.sid, param.taskId);
  });
  SendLogged(*param.channel, std::move(reply));
}

void PushTaskEvents(DaemonState& state, const std::shared_ptr<Channel>& channel) {
  struct Notice {
    std::string text;
    bool logged;  // error notices go through SendLogged, completion notices do not
  };
  std::vector<Notice> notices;
  state.tasks.visitUnreported(channel.get(), [&](TaskRecord& record) {
    for (const std::string& text : record.errors) notices.push_back({AppendSidAndTaskId(text, 0, record.taskId), true});
    record.errors.clear();
    if (record.done == 1) {
      notices.push_back({TaskIdReplyText(record.sid, record.taskId), false});
      record.reported = 1;
    }
  });
  for (Notice& notice : notices) {
    if (notice.logged) {
      SendLogged(*channel, std::move(notice.text));
    } else {
      channel->send(std::move(notice.text));
    }
  }
}

}  // namespace qel
