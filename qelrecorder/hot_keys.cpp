#include "qelrecorder/hot_keys.h"

#include <map>

#include "platform/ui/hotkeys.h"
#include "qelrecorder/record_settings.h"

namespace qelrec {

namespace {

const std::map<std::wstring, uint32_t>& HotKeyNameTable() {
  static const std::map<std::wstring, uint32_t> table = [] {
    std::map<std::wstring, uint32_t> t;
    for (uint32_t n = 1; n <= 12; ++n) t[L"F" + std::to_wstring(n)] = 111 + n;
    for (uint32_t n = 0; n <= 9; ++n) t[L"Num " + std::to_wstring(n)] = 96 + n;
    t[L"Add"] = 107;
    t[L"Subtract"] = 109;
    t[L"Multiply"] = 106;
    t[L"Divide"] = 111;
    t[L"Decimal"] = 110;
    t[L"Home"] = 36;
    t[L"ArrowUp"] = 38;
    t[L"PageUp"] = 33;
    t[L"ArrowLeft"] = 37;
    t[L"Clear"] = 12;
    t[L"ArrowRight"] = 39;
    t[L"End"] = 35;
    t[L"ArrowDown"] = 40;
    t[L"PageDown"] = 34;
    return t;
  }();
  return table;
}

constexpr uint32_t VK_F5 = 116;

std::wstring registerOne(platform::ui::HWND dialog, int id, const std::wstring& text, uint32_t firstFallback,
                         int fallbackNumber) {
  const ParsedHotKey parsed = ParseHotKey(text);
  if (parsed.ok && platform::ui::RegisterHotKey(dialog, id, parsed.modifiers, parsed.key)) return text;
  // Control with F5, F7, F9 (start/stop) or F6, F8, F10 (hide/show).
  for (int k = 0; k < 3; ++k) {
    if (platform::ui::RegisterHotKey(dialog, id, platform::ui::MOD_CONTROL, firstFallback + 2 * k)) {
      return L"Control+F" + std::to_wstring(fallbackNumber + 2 * k);
    }
  }
  return std::wstring();
}

}  // namespace

ParsedHotKey ParseHotKey(const std::wstring& text) {
  ParsedHotKey result;
  std::wstring rest = text;
  for (size_t plus; (plus = rest.find(L'+')) != std::wstring::npos;) {
    const std::wstring part = rest.substr(0, plus);
    if (part == L"Control") {
      result.modifiers |= platform::ui::MOD_CONTROL;
    } else if (part == L"Alt") {
      result.modifiers |= platform::ui::MOD_ALT;
    } else if (part == L"Shift") {
      result.modifiers |= platform::ui::MOD_SHIFT;
    } else {
      return ParsedHotKey{};
    }
    rest = rest.substr(plus + 1);
  }
  if (rest.size() == 1) {
    const wchar_t c = rest[0];
    if ((c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'Z')) {
      result.key = static_cast<uint32_t>(c);
    } else if (c >= L'a' && c <= L'z') {
      result.key = static_cast<uint32_t>(c - L'a' + L'A');
    } else {
      return ParsedHotKey{};
    }
  } else {
    auto it = HotKeyNameTable().find(rest);
    if (it == HotKeyNameTable().end()) return ParsedHotKey{};
    result.key = it->second;
  }
  result.ok = true;
  return result;
}

std::pair<std::wstring, std::wstring> RegisterRecorderHotKeys(platform::ui::HWND dialog) {
  CRecordSettings& settings = CRecordSettings::Get();
  return {registerOne(dialog, kHotKeyStartStop, settings.m_strStartStopHotKey, VK_F5, 5),
          registerOne(dialog, kHotKeyHideShow, settings.m_strHideShowHotKey, VK_F5 + 1, 6)};
}

}  // namespace qelrec
