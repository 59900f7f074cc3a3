// How the whole-screen capturers that draw into a frame ring (GDI and the
// magnifier) hand out the slot they just filled.
//
// Thread safety: the capturer's thread.
#pragma once

#include <cstdint>
#include <memory>

#include "capture/modules/desktop_capture/desktop_frame.h"
#include "capture/modules/desktop_capture/win/two_frame_ring.h"

namespace capture {

// A share of the ring's current slot with the DPI of the screen context
// `screenDc`, all of it marked updated, and the milliseconds since
// `startNanos` (ClockNanos) as its capture time.
std::unique_ptr<DesktopFrame> ShareScreenFrame(const TwoFrameRing& ring, uint64_t screenDc, int64_t startNanos);

}  // namespace capture
