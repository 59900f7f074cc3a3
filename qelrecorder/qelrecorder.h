// The exported interface of libqelrecorder.so, as a host binds it by name with
// dlsym. Every text argument is a non-null, zero-terminated wide text; the
// setters may be called in any order before LaunchRecorder, which shows the
// recorder dialog on the calling thread and returns its close code. When a
// recording stops, the library sends RecordResultData (record_result.h) to the
// window given to SetMainAppWnd in a WM_COPYDATA message.
#pragma once

#include <cstdint>

#include "platform/ui/window.h"
#include "qelrecorder/recorder_log.h"

extern "C" {

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
