#include "engine/error_texts.h"

#include <map>

#include "qelapi.h"

namespace qel {

const char* errorText(int code) {
  static const std::map<int, const char*> texts = {
      {QEL_SUCCESS, "success"},
      {QEL_ERR_FILE_NOT_EXIST, "file don't exist"},
      {QEL_ERR_INVALID_PARAMS, "invalid parameters"},
      {QEL_ERR_REPEATED_TASK_ID, "repeated task id"},
      {QEL_ERR_TASK_NOT_EXIST, "task don't exist"},
      {QEL_ERR_TASK_IS_RUNNING, "task is running"},
      {QEL_ERR_TASK_ABORTED, "task has aborted"},
      {QEL_ERR_OUT_OF_MEMORY, "out of memory"},
      {QEL_ERR_DISK_FULL, "insufficient disk space"},
      {QEL_ERR_FFMPEG, "ffmpeg have some error"},
      {QEL_ERR_UNSUPPORTED_FORMAT, "unsupport file format"},
      {QEL_ERR_GET_MEDIA_PROPS, "get media props failed"},
      {QEL_ERR_PROCESS_LAVFI, "process lavfi failed"},
      {QEL_ERR_UNKNOWN, "unknown error"},
  };
  auto it = texts.find(code);
  return it == texts.end() ? "" : it->second;
}

}  // namespace qel
