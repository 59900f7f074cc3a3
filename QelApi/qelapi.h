/* The public interface of the media-task library: eighteen C functions, the
 * callback types and the result codes.
 *
 * Texts are NUL-terminated UTF-8. Every `char**` reply is a heap copy that the
 * caller releases with qelapi_free_str. Callbacks run on the engine's worker
 * thread; a callback may call any export of the same engine except
 * qelapi_un_init.
 *
 * Thread safety: every function may be called from any thread. An engine handle
 * is valid from a successful qelapi_init until qelapi_un_init is called with it;
 * from then on (and for a pointer that never was a handle) the calls that take
 * a handle answer QEL_ERR_INVALID_PARAMS, or do nothing.
 */
#ifndef QELAPI_QELAPI_H
#define QELAPI_QELAPI_H

#include <stdint.h>

#if defined(__GNUC__)
#define QELAPI_EXPORT __attribute__((visibility("default")))
#define QELAPI_PRINTF_FORMAT(fmt_index, args_index) __attribute__((format(printf, fmt_index, args_index)))
#else
#define QELAPI_EXPORT
#define QELAPI_PRINTF_FORMAT(fmt_index, args_index)
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes of the exports and "errorCode" values of the JSON replies. */
typedef enum ErrorCode {
  QEL_SUCCESS = 0,
  QEL_ERR_FILE_NOT_EXIST = 6500,     /* "file don't exist" */
  QEL_ERR_INVALID_PARAMS = 6510,     /* "invalid parameters" */
  QEL_ERR_REPEATED_TASK_ID = 6511,   /* "repeated task id" */
  QEL_ERR_TASK_NOT_EXIST = 6512,     /* "task don't exist" */
  QEL_ERR_TASK_IS_RUNNING = 6513,    /* "task is running" */
  QEL_ERR_TASK_ABORTED = 6514,       /* "task has aborted" */
  QEL_ERR_OUT_OF_MEMORY = 6515,      /* "out of memory" */
  QEL_ERR_DISK_FULL = 6516,          /* "insufficient disk space" */
  QEL_ERR_FFMPEG = 6517,             /* "ffmpeg have some error" */
  QEL_ERR_UNSUPPORTED_FORMAT = 6518, /* "unsupport file format" */
  QEL_ERR_GET_MEDIA_PROPS = 6519,    /* "get media props failed" */
  QEL_ERR_PROCESS_LAVFI = 6520,      /* "process lavfi failed" */
  QEL_ERR_UNKNOWN = 6521,            /* "unknown error" */
  QEL_ERR_PERMISSION_DENIED = 6522   /* status reports only; no text */
} ErrorCode;

/* (engine handle, task id, text valid only during the call) */
typedef void (*ProgressCallback)(void* handle, uint64_t taskId, const char* text);
typedef void (*ErrorCallback)(void* handle, uint64_t taskId, const char* text);
typedef void (*CompleteCallback)(void* handle, uint64_t taskId, const char* text);

/* Reads the init configuration (JSON), sets up the log and starts the engine.
 * Null when the configuration is incomplete or the ffmpeg program is missing. */
QELAPI_EXPORT void* qelapi_init(const char* config);
/* Stops the worker and destroys the engine. Null: nothing. Must not be called
 * from a callback (it is then refused and logged). Calls with the same handle
 * that are still running on other threads end early: the programs they run
 * (ffprobe, the hardware-encoder test) are killed, and the engine is destroyed
 * once they have returned. */
QELAPI_EXPORT void qelapi_un_init(void* handle);

QELAPI_EXPORT int qelapi_get_media_file_props(void* handle, const char* path, char** props);

QELAPI_EXPORT int qelapi_create_task(void* handle, uint64_t taskId);
QELAPI_EXPORT int qelapi_add_task_operation(void* handle, uint64_t taskId, const char* request);
QELAPI_EXPORT int qelapi_start_task(void* handle, uint64_t taskId);
QELAPI_EXPORT int qelapi_remove_task(void* handle, uint64_t taskId);

QELAPI_EXPORT void qelapi_set_progress_callback(void* handle, ProgressCallback callback);
QELAPI_EXPORT void qelapi_set_error_callback(void* handle, ErrorCallback callback);
QELAPI_EXPORT void qelapi_set_complete_callback(void* handle, CompleteCallback callback);

/* Static text of a code; the empty text (never null) for codes without one. */
QELAPI_EXPORT const char* qelapi_get_error_string(int code);

QELAPI_EXPORT int qelapi_set_config(void* handle, const char* request);
QELAPI_EXPORT int qelapi_get_config(void* handle, const char* request, char** reply);
QELAPI_EXPORT int qelapi_process_lavfi(void* handle, const char* request, char** reply);
QELAPI_EXPORT void qelapi_clean_lavfi_cache(void* handle);

/* Frees *text (when not null) and sets it to null. The first argument is ignored. */
QELAPI_EXPORT void qelapi_free_str(void* unused, char** text);

/* Ends every other process whose image name is the path's file name and whose
 * command line holds the whole path. Needs no engine. */
QELAPI_EXPORT void qelapi_close_process(const char* programPath);

/* Formats like vsnprintf and writes the message to the engine log at the
 * priority of `level`: 'd' debug, 'e' error, 'i' info, 'n' notice, 'w' warn.
 * Client text must be passed as an argument ("%s"), never as the format. */
QELAPI_EXPORT void qelapi_log(char level, const char* format, ...) QELAPI_PRINTF_FORMAT(2, 3);

#ifdef __cplusplus
}
#endif

#endif /* QELAPI_QELAPI_H */
