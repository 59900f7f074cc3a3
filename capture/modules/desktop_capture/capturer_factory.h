// Turns capturer options into the capturer a client gets: the GDI capturer
// alone, or DXGI (guarded against blank frames) with GDI as its backup where
// duplication works, optionally behind the magnifier and the changed-region
// wrapper. DesktopCapturer::MakeScreenCapturer is the entry point.
//
// Thread safety: reentrant; the result is used by one thread.
#pragma once

#include <memory>

#include "capture/modules/desktop_capture/capturer_options.h"
#include "capture/modules/desktop_capture/desktop_capturer.h"

namespace capture {

// The stack without the changed-region wrapper.
std::unique_ptr<DesktopCapturer> MakeBaseScreenCapturer(const CapturerOptions& options);
// A DXGI capturer inside a blank-frame guard whose blank colour is all zero.
std::unique_ptr<DesktopCapturer> MakeDxgiCapturerWithBlankCheck();

}  // namespace capture
