// The signals that ask QelRecorder to end (SIGINT from Control+C, SIGTERM,
// SIGHUP when its terminal goes away). They are never left to their default
// action, which would lose the recording: a thread of their own receives them
// and posts kWmStopRequest to the record viewer window, whose procedure asks
// the recorder to stop as its stop hot key does. The recording's files are
// finished, its result lines printed, and the program ends as after any stop.
//
// Thread safety: BlockStopSignals runs first in main, before any other thread
// exists (threads inherit the mask; children get an empty one from the
// process layer); WatchStopSignals once, on the main thread.
#pragma once

#include <cstdint>

#include "platform/ui/window.h"

namespace qelhost {

// Posted to the record viewer for each stop signal; wParam is the signal.
inline constexpr uint32_t kWmStopRequest = platform::ui::WM_USER + 0x51;

// Blocks SIGINT, SIGTERM and SIGHUP in the calling thread.
void BlockStopSignals();

// Starts the thread that waits for those signals and posts kWmStopRequest to
// `window`; false when no thread can be made.
bool WatchStopSignals(platform::ui::HWND window);

}  // namespace qelhost
