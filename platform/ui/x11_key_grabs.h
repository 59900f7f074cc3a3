// Hot keys on the X server: a registered key is grabbed on the root window
// (with the NumLock and CapsLock variants of its modifiers, so a press counts
// whatever the lock keys are), and a thread of its own turns the server's key
// presses into presses of the hot-key registry. A key another client has
// grabbed is reported as taken. Used when the "ui" layer's backing is real
// (DISPLAY set and the server answers).
//
// Thread safety: all functions may be called from any thread.
#pragma once

#include <cstdint>

namespace platform::ui::x11keys {

// Whether the real backing serves hot keys (chosen once; see ReselectUiBacking).
bool Active();
// Chooses the backing again (tests that set DISPLAY or force a backing).
void ReselectUiBacking();

// Grabs the key; false when another client holds it, the key has no key code
// here, or the server cannot be reached.
bool Grab(uint32_t modifiers, uint32_t virtualKey);
void Ungrab(uint32_t modifiers, uint32_t virtualKey);

}  // namespace platform::ui::x11keys
