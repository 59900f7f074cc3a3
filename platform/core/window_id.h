// A window's id, as every layer may hold one. The window layer (platform/ui)
// makes the ids and knows which are live; a layer below it (the magnification
// module of platform/display) keeps and compares ids, and asks whether one is
// live through the check the window layer installs here, so that it needs no
// header of the layer above it.
//
// Thread safety: all functions may be called from any thread.
#pragma once

namespace platform {

struct WindowTag;
using WindowId = WindowTag*;  // an id the window layer validates, never dereferenced

using WindowLiveCheck = bool (*)(WindowId window);
// Installed by the window layer when the library loads.
void SetWindowLiveCheck(WindowLiveCheck check);
// Whether `window` is a live window (false while no check is installed: no
// window can exist before the window layer is loaded).
bool IsLiveWindow(WindowId window);

}  // namespace platform
