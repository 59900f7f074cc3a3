// Global hot keys. A key (modifiers and virtual-key code) belongs to at most
// one window at a time; pressing it posts WM_HOTKEY (wParam = the id it was
// registered with) to that window. Tests mark keys as taken by another program
// to exercise the callers' fallbacks, and press keys with the injector.
//
// Thread safety: all functions may be called from any thread.
#pragma once

#include <cstdint>
#include <string>

#include "platform/ui/window.h"

namespace platform::ui {

inline constexpr uint32_t MOD_ALT = 1;
inline constexpr uint32_t MOD_CONTROL = 2;
inline constexpr uint32_t MOD_SHIFT = 4;

// False when the key is taken (by another window or another program) or the
// window does not exist.
bool RegisterHotKey(HWND window, int id, uint32_t modifiers, uint32_t virtualKey);
bool UnregisterHotKey(HWND window, int id);
// Drops every key of the window (its destruction).
void UnregisterWindowHotKeys(HWND window);

// Tests: another program holds (or releases) the key.
void SetHotKeyTakenElsewhere(uint32_t modifiers, uint32_t virtualKey, bool taken);
void ClearHotKeysTakenElsewhere();
// Injector: the user presses the key; true when a window had it registered.
bool PressHotKey(uint32_t modifiers, uint32_t virtualKey);
// The same for a text such as "Control+F5" (modifiers Control, Alt, Shift;
// keys F1-F24, A-Z, 0-9); false when the text is not understood or nobody
// holds the key.
bool PressHotKeyText(const std::string& text);

}  // namespace platform::ui
