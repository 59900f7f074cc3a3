// The desktop's scale factor for "getdesktopzoom".
//
// Linux has no screen device context to ask. Without an X display (DISPLAY
// unset or empty) the answer is 1.0. With one, the X resource database is read
// with `xrdb -query` through the process layer, and the factor is Xft.dpi / 96
// (the DPI desktops set for their scaling: 144 at 150 %). When xrdb is missing,
// fails, or reports no usable Xft.dpi, the answer is 1.0. No X library is linked.
//
// Thread safety: reentrant.
#pragma once

#include <string_view>

namespace qel {

// Xft.dpi / 96 from xrdb's output, or 1.0 when it holds no positive Xft.dpi.
double ZoomFromXrdbOutput(std::string_view text);

// The current desktop zoom factor.
double GetDesktopZoom();

}  // namespace qel
