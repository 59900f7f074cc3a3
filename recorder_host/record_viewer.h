// The record viewer: the message-only window ("KorvexRecordViewerWnd") that the
// recorder sends each finished recording's RecordResultData to. Its window
// procedure prints the result lines and then asks the recorder to close its
// dialog, so that LaunchRecorder returns.
//
// Thread safety: the window and its procedure belong to the host's main thread,
// where the recorder's dialog runs and sends its results.
#pragma once

#include <string>
#include <vector>

#include "platform/ui/window.h"

namespace qelhost {

inline constexpr const char* kRecordViewerClass = "KorvexRecordViewerClass";
inline constexpr const char* kRecordViewerWindow = "KorvexRecordViewerWnd";

// The lines one WM_COPYDATA result stands for: with dwData 1 and a whole
// record, the video and audio paths ("null" when empty), the video duration
// and the audio offset; otherwise both paths as "null" and no numbers.
std::vector<std::string> RecordDataLines(const platform::ui::CopyDataStruct& data);

platform::ui::LRESULT RecordViewerWndProc(platform::ui::HWND window, uint32_t message, platform::ui::WPARAM wParam,
                                          platform::ui::LPARAM lParam);

// The message-only window, owned by the calling thread; null when it cannot be made.
platform::ui::HWND CreateRecordViewerWindow();

}  // namespace qelhost
