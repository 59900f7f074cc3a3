// The recorder's two global hot keys: texts such as "Control+Alt+F9" parsed
// into modifiers and a virtual key, registered for the dialog window with
// fixed fallbacks when a text cannot be parsed or its key is taken.
//
// Thread safety: the dialog's thread.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "platform/ui/window.h"

namespace qelrec {

inline constexpr int kHotKeyStartStop = 1010;
inline constexpr int kHotKeyHideShow = 1011;

struct ParsedHotKey {
  bool ok = false;
  uint32_t modifiers = 0;
  uint32_t key = 0;
};

// "Control", "Alt", "Shift" (exact case) joined by '+', then the key: one of
// 0-9, A-Z (a-z as their capitals) or a name of the key-name table.
ParsedHotKey ParseHotKey(const std::wstring& text);

// Registers 1010 (start/stop) and 1011 (hide/show) for `dialog`; returns the
// two texts to show (a fallback's text, or empty when no key could be had).
std::pair<std::wstring, std::wstring> RegisterRecorderHotKeys(platform::ui::HWND dialog);

}  // namespace qelrec
