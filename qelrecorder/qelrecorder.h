// The exported interface of libqelrecorder.so, as a host binds it by name with
// dlsym. Every text argument is a non-null, zero-terminated wide text; the
// setters may be called in any order before LaunchRecorder, which shows the
// recorder dialog on the calling thread and returns its close code. When a
// recording stops, the library sends RecordResultData to the window given to
// SetMainAppWnd in a WM_COPYDATA message.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/ui/window.h"

namespace qelrec {

// The record a stopped recording sends to the host's window by value in one
// WM_COPYDATA message: dwData 1 when the video file exists and is not empty,
// else 0 with an all-zero record; cbData 1056. Paths are UTF-16, zero-terminated,
// the rest of each field zero (an empty audio path: no audio file).
struct RecordResultData {
  char16_t szVideoPath[260];
  char16_t szAudioPath[260];
  int64_t llAudioOffsetMs;
  int64_t llVideoDurationMs;
};
static_assert(sizeof(RecordResultData) == 1056);
static_assert(offsetof(RecordResultData, szAudioPath) == 520);
static_assert(offsetof(RecordResultData, llAudioOffsetMs) == 1040);
static_assert(offsetof(RecordResultData, llVideoDurationMs) == 1048);

}  // namespace qelrec

extern "C" {

// The host's log handlers: level null for information, "WARN" or "ERROR"; the
// recorder's function tag; the finished message, valid only during the call.
// A null handler switches its family of log lines off.
typedef void (*LogHandlerA)(const char* level, const char* function, const char* message);
typedef void (*LogHandlerW)(const char* level, const char* function, const wchar_t* message);

// LaunchRecorder's result: the dialog's close code. kRecorderFailed: there is
// no screen to record (the display cannot be reached; a line says why), the
// dialog could not be made, or it was closed by StopVideoRecorder after a
// recording that left no usable video (a start that failed, a video ffmpeg did
// not finish): a host must not report that as a successful recording.
//
// StopVideoRecorder: while a recording runs it stops it as the stop hot key
// does (files finished, the result record sent, whose handler calls
// StopVideoRecorder again); otherwise it closes the dialog with 0 after a
// record with a video, kRecorderFailed after one without, and
// kRecorderClosedByUser when nothing was recorded.
enum LaunchRecorderResult { kRecorderFailed = -1, kRecorderClosedOk = 0, kRecorderClosedByUser = 1 };

typedef void (*SetLogHandlerFn)(LogHandlerA, LogHandlerW);
typedef void (*SetMainAppWndFn)(platform::ui::HWND);
typedef void (*SetEncodeParametersFn)(const wchar_t* codec, int fps, int quality, int bitrate,
                                      const wchar_t* extraArgs);
typedef void (*SetTmpOutputDirectoryFn)(const wchar_t* folder);
typedef void (*SetFFMpegPathFn)(const wchar_t* folder);
typedef void (*SetCaptureAudioFn)(bool capture);
typedef void (*SetHotKeyFn)(const wchar_t* startStop, const wchar_t* hideShow);
typedef void (*SetDelayTimeFn)(uint64_t milliseconds);
typedef void (*SetDPIModeFn)(int mode);
typedef void (*SetLanguageFn)(const wchar_t* unused);
typedef void (*SetLanguageFolderFn)(const wchar_t* unused);
typedef int (*LaunchRecorderFn)(platform::ui::HWND parent, const wchar_t* skinName, platform::ui::Rect* region);
typedef int (*StopVideoRecorderFn)();
typedef void (*GetOutputFileNamePathFn)(wchar_t* audioOut, int audioCap, wchar_t* videoOut, int videoCap,
                                        int64_t* audioOffsetMs);
}
