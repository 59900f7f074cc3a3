#include "platform/ui/x11_key_grabs.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <atomic>
#include <thread>
#include <utility>
#include <vector>

#include "platform/core/events.h"

#include "platform/core/backing.h"
#include "platform/display/x11_connection.h"
#include "platform/ui/hotkeys.h"

namespace platform::ui::x11keys {

namespace {

KeySym keySymOf(uint32_t vk) {
  if (vk >= 'A' && vk <= 'Z') return XK_a + (vk - 'A');
  if (vk >= '0' && vk <= '9') return XK_0 + (vk - '0');
  if (vk >= 112 && vk <= 135) return XK_F1 + (vk - 112);
  if (vk >= 96 && vk <= 105) return XK_KP_0 + (vk - 96);
  switch (vk) {
    case 107: return XK_KP_Add;
    case 109: return XK_KP_Subtract;
    case 106: return XK_KP_Multiply;
    case 111: return XK_KP_Divide;
    case 110: return XK_KP_Decimal;
    case 36: return XK_Home;
    case 38: return XK_Up;
    case 33: return XK_Prior;
    case 37: return XK_Left;
    case 12: return XK_Clear;
    case 39: return XK_Right;
    case 35: return XK_End;
    case 40: return XK_Down;
    case 34: return XK_Next;
    default: return NoSymbol;
  }
}

unsigned int maskOf(uint32_t modifiers) {
  unsigned int mask = 0;
  if (modifiers & MOD_CONTROL) mask |= ControlMask;
  if (modifiers & MOD_ALT) mask |= Mod1Mask;
  if (modifiers & MOD_SHIFT) mask |= ShiftMask;
  return mask;
}

uint32_t modifiersOf(unsigned int state) {
  uint32_t modifiers = 0;
  if (state & ControlMask) modifiers |= MOD_CONTROL;
  if (state & Mod1Mask) modifiers |= MOD_ALT;
  if (state & ShiftMask) modifiers |= MOD_SHIFT;
  return modifiers;
}

// One connection for the grabs, and the thread that reads its key presses.
class Grabber {
 public:
  bool Open() {
    display_ = x11::OpenDisplay("");
    if (!display_) return false;
    root_ = DefaultRootWindow(display_.get());
    numLock_ = NumLockMask();
    if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    std::thread([this] { Run(); }).detach();  // ends through Stop
    return true;
  }

  ~Grabber() {
    for (int fd : wake_) {
      if (fd >= 0) ::close(fd);
    }
    // A connection whose server is gone only gives back its socket (the
    // closer's rule).
  }

  bool Grab(uint32_t modifiers, uint32_t vk) {
    std::lock_guard<std::mutex> lock(mutex_);
    const KeySym sym = keySymOf(vk);
    if (sym == NoSymbol || x11::ConnectionLost(display_.get())) return false;
    const KeyCode code = XKeysymToKeycode(display_.get(), sym);
    if (code == 0) return false;
    x11::ErrorTrap trap(display_.get());
    for (unsigned int variant : Variants()) {
      XGrabKey(display_.get(), code, maskOf(modifiers) | variant, root_, False, GrabModeAsync, GrabModeAsync);
    }
    if (trap.Sync() != 0) {
      // Another client holds the key: leave nothing of ours behind.
      for (unsigned int variant : Variants()) XUngrabKey(display_.get(), code, maskOf(modifiers) | variant, root_);
      XSync(display_.get(), False);
      return false;
    }
    codes_[code] = vk;
    Poke();
    return true;
  }

  void Ungrab(uint32_t modifiers, uint32_t vk) {
    std::lock_guard<std::mutex> lock(mutex_);
    const KeySym sym = keySymOf(vk);
    if (sym == NoSymbol || x11::ConnectionLost(display_.get())) return;
    const KeyCode code = XKeysymToKeycode(display_.get(), sym);
    x11::ErrorTrap trap(display_.get());
    for (unsigned int variant : Variants()) XUngrabKey(display_.get(), code, maskOf(modifiers) | variant, root_);
    trap.Sync();
    Poke();
  }

 private:
  unsigned int NumLockMask() {
    unsigned int mask = Mod2Mask;
    XModifierKeymap* map = XGetModifierMapping(display_.get());
    if (map == nullptr) return mask;
    const KeyCode numLock = XKeysymToKeycode(display_.get(), XK_Num_Lock);
    for (int m = 0; m < 8; ++m) {
      for (int k = 0; k < map->max_keypermod; ++k) {
        if (numLock != 0 && map->modifiermap[m * map->max_keypermod + k] == numLock) mask = 1u << m;
      }
    }
    XFreeModifiermap(map);
    return mask;
  }

  std::array<unsigned int, 4> Variants() const { return {0u, LockMask, numLock_, numLock_ | LockMask}; }

  void Run() {
    const int fd = ConnectionNumber(display_.get());
    while (!stopping_) {
      pollfd fds[2] = {{fd, POLLIN, 0}, {wake_[0], POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) continue;
      if (fds[1].revents & POLLIN) {
        char drain[64];
        while (::read(wake_[0], drain, sizeof drain) > 0) {
        }
      }
      std::vector<std::pair<uint32_t, uint32_t>> presses;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_ || x11::ConnectionLost(display_.get())) break;  // no more keys
        while (XPending(display_.get()) > 0) {
          XEvent event;
          XNextEvent(display_.get(), &event);
          if (event.type != KeyPress) continue;
          auto it = codes_.find(static_cast<KeyCode>(event.xkey.keycode));
          if (it != codes_.end()) presses.emplace_back(modifiersOf(event.xkey.state), it->second);
        }
      }
      // The registry's lock is taken while it calls Grab (which takes ours):
      // presses go to it only after ours is released.
      for (const auto& [modifiers, key] : presses) PressHotKey(modifiers, key);
    }
    finished_.Set();
  }

 public:
  // Ends the thread (a backing chosen again); the object may then be deleted.
  void Stop() {
    stopping_ = true;
    Poke();
    finished_.Wait();
  }

 private:
  // Wakes the thread: Xlib may have queued events while a grab waited for
  // the server, and the socket would not tell.
  void Poke() {
    const char byte = 1;
    if (wake_[1] >= 0) (void)!::write(wake_[1], &byte, 1);
  }

  x11::DisplayPtr display_;
  Window root_ = 0;
  unsigned int numLock_ = Mod2Mask;
  int wake_[2] = {-1, -1};
  std::mutex mutex_;
  std::map<KeyCode, uint32_t> codes_;
  std::atomic<bool> stopping_{false};
  platform::Event finished_{true, false};
};

std::mutex choiceMutex;
std::optional<bool> real;
Grabber* grabber = nullptr;  // made on first use, replaced when the backing is chosen again

Grabber* current() {
  std::lock_guard<std::mutex> lock(choiceMutex);
  if (!real) {
    real = chooseBacking("ui", [] {
             const char* display = std::getenv("DISPLAY");
             return display != nullptr && *display != '\0' && x11::OpenDisplay("") != nullptr;
           }) == Backing::Real;
    if (*real && grabber == nullptr) {
      auto* made = new Grabber;
      if (made->Open()) {
        grabber = made;
      } else {
        delete made;
        real = false;
      }
    }
  }
  return *real ? grabber : nullptr;
}

}  // namespace

bool Active() { return current() != nullptr; }

void ReselectUiBacking() {
  Grabber* old = nullptr;
  {
    std::lock_guard<std::mutex> lock(choiceMutex);
    real.reset();
    old = grabber;
    grabber = nullptr;
  }
  // The old connection (perhaps to a server that is gone) is closed outside
  // the lock; its keys went with it.
  if (old != nullptr) {
    old->Stop();
    delete old;
  }
}

bool Grab(uint32_t modifiers, uint32_t virtualKey) {
  Grabber* g = current();
  return g != nullptr && g->Grab(modifiers, virtualKey);
}

void Ungrab(uint32_t modifiers, uint32_t virtualKey) {
  if (Grabber* g = current()) g->Ungrab(modifiers, virtualKey);
}

}  // namespace platform::ui::x11keys
