// platform/display, GDI side: device contexts, DIB sections, BitBlt from the
// screen, device capabilities, shared sections, input desktops, desktop
// composition and the process's session.
//
// Handles are ids the layer validates; 0 is none. The screen context's
// coordinates are virtual-screen coordinates.
//
// X11 backing: BitBlt from the screen context reads the X server's pixels
// (XShm, XGetImage when shared memory is unavailable); one desktop, "Default",
// which is always the input desktop; composition calls are accepted and change
// nothing.
// Simulated backing: BitBlt composes the simulated framebuffers and fails when
// the calling thread's desktop is not the input desktop; tests switch the input
// desktop and count composition calls.
//
// Thread safety: every function may be called from any thread; a thread's
// desktop belongs to that thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform::display {

using Hdc = uint64_t;
using Hbitmap = uint64_t;
using Hdesk = uint64_t;
using Section = uint64_t;

// The screen's device context, or 0.
Hdc GetDC();
// A memory context compatible with `dc`, or 0.
Hdc CreateCompatibleDC(Hdc dc);
bool ReleaseDC(Hdc dc);
bool DeleteDC(Hdc dc);

// A top-down 32-bit DIB section of `width` x `height` whose pixels are
// returned in `*bits` (rows width x 4 bytes apart). With a `section` its pixels
// live at `offset` in that section's memory. 0 on failure.
Hbitmap CreateDIBSection(Hdc dc, int width, int height, Section section, size_t offset, void** bits);
bool DeleteObject(Hbitmap bitmap);
// Selects `bitmap` into the memory context `dc`; the previously selected
// bitmap (0 when none was), or kSelectError on failure.
inline constexpr Hbitmap kSelectError = ~Hbitmap{0};
Hbitmap SelectObject(Hdc dc, Hbitmap bitmap);

inline constexpr uint32_t kSrcCopy = 0x00CC0020;
inline constexpr uint32_t kCaptureBlt = 0x40000000;
// Copies width x height pixels from `src` at (sx, sy) to the bitmap selected
// into `dst` at (x, y). Only copies from the screen into a memory context.
bool BitBlt(Hdc dst, int x, int y, int width, int height, Hdc src, int sx, int sy, uint32_t rop);

inline constexpr int kLogPixelsX = 88;
inline constexpr int kLogPixelsY = 90;
int GetDeviceCaps(Hdc dc, int index);

// Shared memory the DIB sections of a shared-memory frame live in.
Section CreateSection(size_t size, void** data);
bool CloseSection(Section section);

// Desktops.
Hdesk OpenInputDesktop();
// The calling thread's desktop (not to be closed).
Hdesk GetThreadDesktop();
// The desktop's name: with a buffer of `bytes` bytes too small (or none),
// false with the last error kErrorInsufficientBuffer and `*needed` set.
bool GetUserObjectName(Hdesk desktop, wchar_t* buffer, uint32_t bytes, uint32_t* needed);
bool SetThreadDesktop(Hdesk desktop);
bool CloseDesktop(Hdesk desktop);

// Desktop composition: 0 turns it off, 1 on. 0 (success) or an error code.
int32_t DwmEnableComposition(uint32_t action);

// The session the process runs in (0 is the services' session).
uint32_t ProcessSessionId();

}  // namespace platform::display
