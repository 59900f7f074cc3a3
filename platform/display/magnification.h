// platform/display, magnification module: what "Magnification.dll" serves to a
// magnifier capturer. The module is a pseudo-module of platform/core/modules
// ("MagInitialize", "MagUninitialize", "MagSetWindowSource",
// "MagSetWindowFilterList", "MagSetImageScalingCallback"); a magnifier window
// is any live window of the window layer, known here only by its id
// (platform/core/window_id.h). Setting a window's source reads the screen's
// pixels of that rectangle (both backings) and hands them to the window's
// scaling callback on the calling thread, before returning.
//
// Thread safety: every function may be called from any thread.
#pragma once

#include <cstdint>

#include "platform/core/window_id.h"
#include "platform/display/display.h"

namespace platform::display::mag {

struct Guid {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];
  bool operator==(const Guid&) const = default;
};
// 32-bit RGBA as the magnifier's images are described.
inline constexpr Guid kPixelFormat32bppRgba{
    0xf5c7ad2d, 0x6a8d, 0x43dd, {0xa7, 0xa8, 0xa2, 0x99, 0x35, 0x26, 0x1a, 0xe9}};

struct ImageHeader {
  uint32_t width = 0;
  uint32_t height = 0;
  Guid format{};
  uint32_t stride = 0;
  uint32_t offset = 0;
  uint64_t cbSize = 0;
};

using ScalingCallback = int (*)(WindowId window, void* sourceData, ImageHeader sourceHeader, void* destinationData,
                                ImageHeader destinationHeader, Rect unclipped, Rect clipped, void* dirty);

inline constexpr uint32_t kFilterModeExclude = 0;

// The entries, as the module serves them (ints are BOOL results).
int MagInitialize();
int MagUninitialize();
int MagSetWindowSource(WindowId window, Rect source);
int MagSetWindowFilterList(WindowId window, uint32_t mode, int count, WindowId* windows);
int MagSetImageScalingCallback(WindowId window, ScalingCallback callback);

}  // namespace platform::display::mag

namespace platform::display::sim {

// How the simulated magnifier describes its images (tests of refused images).
struct MagnifierKnobs {
  bool wrongFormat = false;
  int bytesPerPixel = 4;  // the header's size is width x height x this
  bool zeroSizedHeader = false;
};
void SetMagnifierKnobs(const MagnifierKnobs& knobs);
// MagInitialize calls not yet undone, and the excluded window of `window`.
int MagnifierInitializations();
WindowId MagnifierExcludedWindow(WindowId window);

}  // namespace platform::display::sim
