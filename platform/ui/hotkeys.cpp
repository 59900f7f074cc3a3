#include "platform/ui/hotkeys.h"

#include "platform/ui/x11_key_grabs.h"

#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <utility>

namespace platform::ui {

namespace {

using Key = std::pair<uint32_t, uint32_t>;  // modifiers, virtual key

struct Owner {
  HWND window;
  int id;
};

struct HotKeys {
  std::mutex mutex;
  std::map<Key, Owner> registered;
  std::set<Key> takenElsewhere;
};

HotKeys& hotKeys() {
  static HotKeys* instance = new HotKeys;
  return *instance;
}

}  // namespace

bool RegisterHotKey(HWND window, int id, uint32_t modifiers, uint32_t virtualKey) {
  if (!IsWindow(window) || virtualKey == 0) return false;
  HotKeys& h = hotKeys();
  std::lock_guard<std::mutex> lock(h.mutex);
  const Key key{modifiers, virtualKey};
  if (h.takenElsewhere.count(key) != 0 || h.registered.count(key) != 0) return false;
  for (const auto& [k, owner] : h.registered) {
    if (owner.window == window && owner.id == id) return false;  // the id is in use on this window
  }
  // On the X server the key must also be had there: another client's grab
  // makes it taken.
  if (x11keys::Active() && !x11keys::Grab(modifiers, virtualKey)) return false;
  h.registered[key] = Owner{window, id};
  return true;
}

bool UnregisterHotKey(HWND window, int id) {
  HotKeys& h = hotKeys();
  std::lock_guard<std::mutex> lock(h.mutex);
  for (auto it = h.registered.begin(); it != h.registered.end(); ++it) {
    if (it->second.window == window && it->second.id == id) {
      if (x11keys::Active()) x11keys::Ungrab(it->first.first, it->first.second);
      h.registered.erase(it);
      return true;
    }
  }
  return false;
}

void UnregisterWindowHotKeys(HWND window) {
  HotKeys& h = hotKeys();
  std::lock_guard<std::mutex> lock(h.mutex);
  for (auto it = h.registered.begin(); it != h.registered.end();) {
    if (it->second.window == window) {
      if (x11keys::Active()) x11keys::Ungrab(it->first.first, it->first.second);
      it = h.registered.erase(it);
    } else {
      ++it;
    }
  }
}

void SetHotKeyTakenElsewhere(uint32_t modifiers, uint32_t virtualKey, bool taken) {
  HotKeys& h = hotKeys();
  std::lock_guard<std::mutex> lock(h.mutex);
  if (taken) {
    h.takenElsewhere.insert({modifiers, virtualKey});
  } else {
    h.takenElsewhere.erase({modifiers, virtualKey});
  }
}

void ClearHotKeysTakenElsewhere() {
  HotKeys& h = hotKeys();
  std::lock_guard<std::mutex> lock(h.mutex);
  h.takenElsewhere.clear();
}

bool PressHotKey(uint32_t modifiers, uint32_t virtualKey) {
  Owner owner{};
  {
    HotKeys& h = hotKeys();
    std::lock_guard<std::mutex> lock(h.mutex);
    auto it = h.registered.find({modifiers, virtualKey});
    if (it == h.registered.end()) return false;
    owner = it->second;
  }
  return PostMessage(owner.window, WM_HOTKEY, static_cast<WPARAM>(owner.id),
                     static_cast<LPARAM>(modifiers | (virtualKey << 16)));
}

bool PressHotKeyText(const std::string& text) {
  uint32_t modifiers = 0;
  std::string rest = text;
  for (size_t plus; (plus = rest.find('+')) != std::string::npos;) {
    const std::string part = rest.substr(0, plus);
    if (part == "Control") {
      modifiers |= MOD_CONTROL;
    } else if (part == "Alt") {
      modifiers |= MOD_ALT;
    } else if (part == "Shift") {
      modifiers |= MOD_SHIFT;
    } else {
      return false;
    }
    rest = rest.substr(plus + 1);
  }
  uint32_t key = 0;
  if (rest.size() == 1 && ((rest[0] >= '0' && rest[0] <= '9') || (rest[0] >= 'A' && rest[0] <= 'Z'))) {
    key = static_cast<uint32_t>(rest[0]);
  } else if (rest.size() >= 2 && rest[0] == 'F') {
    const int n = std::atoi(rest.c_str() + 1);
    if (n >= 1 && n <= 24) key = static_cast<uint32_t>(111 + n);
  }
  return key != 0 && PressHotKey(modifiers, key);
}

}  // namespace platform::ui
