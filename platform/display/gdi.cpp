#include "platform/display/gdi.h"

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/core/faults.h"
#include "platform/core/last_error.h"
#include "platform/core/modules.h"
#include "platform/display/display.h"
#include "platform/display/display_internal.h"
#include "platform/display/sim_display.h"
#include "platform/display/sim_state.h"

namespace platform::display {
namespace {

struct Bitmap {
  int width = 0;
  int height = 0;
  std::unique_ptr<uint8_t[]> owned;  // pixels of a bitmap without a section
  uint8_t* bits = nullptr;
  Hdc selectedInto = 0;
};

struct Context {
  bool screen = false;
  Hbitmap selected = 0;
};

struct Desktop {
  std::wstring name;
};

struct Gdi {
  std::mutex mutex;
  uint64_t nextHandle = 0x10000;
  std::map<Hdc, Context> contexts;
  std::map<Hbitmap, Bitmap> bitmaps;
  std::map<Section, std::unique_ptr<uint8_t[]>> sections;
  std::map<Section, size_t> sectionSizes;
  std::map<Hdesk, Desktop> desktops;
};

Gdi& gdi() {
  static Gdi instance;
  return instance;
}

// The calling thread's desktop: its name and the handle that stands for it.
struct ThreadDesktop {
  std::wstring name = L"Default";
  Hdesk handle = 0;
};
thread_local ThreadDesktop threadDesktop;

using internal::InjectedFailure;

}  // namespace

Hdc GetDC() {
  if (InjectedFailure("display.GetDC")) return 0;
  std::lock_guard lock(gdi().mutex);
  Hdc dc = gdi().nextHandle++;
  gdi().contexts[dc] = Context{true, 0};
  return dc;
}

Hdc CreateCompatibleDC(Hdc dc) {
  if (InjectedFailure("display.CreateCompatibleDC")) return 0;
  std::lock_guard lock(gdi().mutex);
  if (dc != 0 && gdi().contexts.count(dc) == 0) {
    SetLastError(kErrorInvalidHandle);
    return 0;
  }
  Hdc memory = gdi().nextHandle++;
  gdi().contexts[memory] = Context{false, 0};
  return memory;
}

static bool dropContext(Hdc dc, bool screen, const char* call) {
  std::lock_guard lock(gdi().mutex);
  auto it = gdi().contexts.find(dc);
  if (it == gdi().contexts.end() || it->second.screen != screen) {
    reportViolation(std::string("display: ") + call + " of a context that is not open");
    return false;
  }
  if (it->second.selected != 0) {
    auto b = gdi().bitmaps.find(it->second.selected);
    if (b != gdi().bitmaps.end()) b->second.selectedInto = 0;
  }
  gdi().contexts.erase(it);
  return true;
}

bool ReleaseDC(Hdc dc) { return dropContext(dc, true, "ReleaseDC"); }
bool DeleteDC(Hdc dc) { return dropContext(dc, false, "DeleteDC"); }

Hbitmap CreateDIBSection(Hdc dc, int width, int height, Section section, size_t offset, void** bits) {
  if (bits != nullptr) *bits = nullptr;
  if (InjectedFailure("display.CreateDIBSection")) return 0;
  std::lock_guard lock(gdi().mutex);
  // Top-down bitmaps come with a negative height.
  int rows = height < 0 ? -height : height;
  if (gdi().contexts.count(dc) == 0 || width <= 0 || rows <= 0 || bits == nullptr) {
    SetLastError(kErrorInvalidParameter);
    return 0;
  }
  size_t bytes = size_t(width) * rows * 4;
  Bitmap bitmap;
  bitmap.width = width;
  bitmap.height = rows;
  if (section != 0) {
    auto it = gdi().sections.find(section);
    if (it == gdi().sections.end() || offset + bytes > gdi().sectionSizes[section]) {
      SetLastError(kErrorInvalidParameter);
      return 0;
    }
    bitmap.bits = it->second.get() + offset;
  } else {
    bitmap.owned = std::make_unique<uint8_t[]>(bytes);
    bitmap.bits = bitmap.owned.get();
  }
  Hbitmap handle = gdi().nextHandle++;
  *bits = bitmap.bits;
  gdi().bitmaps.emplace(handle, std::move(bitmap));
  return handle;
}

bool DeleteObject(Hbitmap bitmap) {
  std::lock_guard lock(gdi().mutex);
  auto it = gdi().bitmaps.find(bitmap);
  if (it == gdi().bitmaps.end()) {
    reportViolation("display: DeleteObject of a bitmap that does not exist");
    return false;
  }
  if (it->second.selectedInto != 0) {
    // GDI refuses to delete a selected bitmap; the caller leaks it.
    reportViolation("display: DeleteObject of a bitmap still selected into a context");
    return false;
  }
  gdi().bitmaps.erase(it);
  return true;
}

Hbitmap SelectObject(Hdc dc, Hbitmap bitmap) {
  if (InjectedFailure("display.SelectObject")) return kSelectError;
  std::lock_guard lock(gdi().mutex);
  auto c = gdi().contexts.find(dc);
  if (c == gdi().contexts.end() || c->second.screen) return kSelectError;
  if (bitmap != 0) {
    auto b = gdi().bitmaps.find(bitmap);
    if (b == gdi().bitmaps.end()) return kSelectError;
    if (b->second.selectedInto != 0 && b->second.selectedInto != dc) return kSelectError;
    b->second.selectedInto = dc;
  }
  Hbitmap previous = c->second.selected;
  if (previous != 0 && previous != bitmap) {
    auto p = gdi().bitmaps.find(previous);
    if (p != gdi().bitmaps.end()) p->second.selectedInto = 0;
  }
  c->second.selected = bitmap;
  return previous;
}

bool BitBlt(Hdc dst, int x, int y, int width, int height, Hdc src, int sx, int sy, uint32_t rop) {
  if (InjectedFailure("display.BitBlt")) return false;
  if ((rop & 0x00FFFFFF) != kSrcCopy) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  uint8_t* bits = nullptr;
  int stride = 0;
  {
    std::lock_guard lock(gdi().mutex);
    auto d = gdi().contexts.find(dst);
    auto s = gdi().contexts.find(src);
    if (d == gdi().contexts.end() || s == gdi().contexts.end() || d->second.screen || !s->second.screen ||
        d->second.selected == 0) {
      SetLastError(kErrorInvalidHandle);
      return false;
    }
    const Bitmap& b = gdi().bitmaps.at(d->second.selected);
    if (x < 0 || y < 0 || width <= 0 || height <= 0 || x + width > b.width || y + height > b.height) {
      SetLastError(kErrorInvalidParameter);
      return false;
    }
    bits = b.bits + (size_t(y) * b.width + x) * 4;
    stride = b.width * 4;
  }
  // Only the desktop that receives input can be read.
  if (internal::InputDesktopName() != threadDesktop.name) {
    SetLastError(kErrorAccessDenied);
    return false;
  }
  return internal::GrabScreen(Rect{sx, sy, sx + width, sy + height}, bits, stride);
}

int GetDeviceCaps(Hdc dc, int index) {
  {
    std::lock_guard lock(gdi().mutex);
    if (gdi().contexts.count(dc) == 0) return 0;
  }
  if (index == kLogPixelsX || index == kLogPixelsY) return ScreenDpi();
  return 0;
}

Section CreateSection(size_t size, void** data) {
  if (data != nullptr) *data = nullptr;
  if (size == 0 || data == nullptr) return 0;
  std::lock_guard lock(gdi().mutex);
  Section handle = gdi().nextHandle++;
  auto memory = std::make_unique<uint8_t[]>(size);
  *data = memory.get();
  gdi().sections.emplace(handle, std::move(memory));
  gdi().sectionSizes[handle] = size;
  return handle;
}

bool CloseSection(Section section) {
  std::lock_guard lock(gdi().mutex);
  for (const auto& [handle, bitmap] : gdi().bitmaps) {
    if (bitmap.owned == nullptr && gdi().sections.count(section) != 0 && bitmap.bits >= gdi().sections[section].get() &&
        bitmap.bits < gdi().sections[section].get() + gdi().sectionSizes[section])
      reportViolation("display: CloseSection while a DIB section still uses it");
  }
  gdi().sectionSizes.erase(section);
  return gdi().sections.erase(section) != 0;
}

Hdesk OpenInputDesktop() {
  if (InjectedFailure("display.OpenInputDesktop")) return 0;
  std::wstring name = internal::InputDesktopName();
  std::lock_guard lock(gdi().mutex);
  Hdesk handle = gdi().nextHandle++;
  gdi().desktops[handle] = Desktop{name};
  return handle;
}

Hdesk GetThreadDesktop() {
  std::lock_guard lock(gdi().mutex);
  auto& mine = threadDesktop;
  if (mine.handle == 0 || gdi().desktops.count(mine.handle) == 0 || gdi().desktops[mine.handle].name != mine.name) {
    // A handle the thread keeps for its current desktop; never closed by callers.
    if (mine.handle != 0) gdi().desktops.erase(mine.handle);
    mine.handle = gdi().nextHandle++;
    gdi().desktops[mine.handle] = Desktop{mine.name};
  }
  return mine.handle;
}

bool GetUserObjectName(Hdesk desktop, wchar_t* buffer, uint32_t bytes, uint32_t* needed) {
  if (InjectedFailure("display.GetUserObjectInformation")) return false;
  std::lock_guard lock(gdi().mutex);
  auto it = gdi().desktops.find(desktop);
  if (it == gdi().desktops.end()) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  uint32_t size = static_cast<uint32_t>((it->second.name.size() + 1) * 2);  // UTF-16 bytes with the terminator
  if (needed != nullptr) *needed = size;
  if (buffer == nullptr || bytes < size) {
    SetLastError(kErrorInsufficientBuffer);
    return false;
  }
  std::wmemcpy(buffer, it->second.name.c_str(), it->second.name.size() + 1);
  return true;
}

bool SetThreadDesktop(Hdesk desktop) {
  if (InjectedFailure("display.SetThreadDesktop")) return false;
  std::lock_guard lock(gdi().mutex);
  auto it = gdi().desktops.find(desktop);
  if (it == gdi().desktops.end()) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  threadDesktop.name = it->second.name;
  return true;
}

bool CloseDesktop(Hdesk desktop) {
  std::lock_guard lock(gdi().mutex);
  if (desktop == threadDesktop.handle) {
    reportViolation("display: CloseDesktop of a thread's own desktop handle");
    return false;
  }
  if (gdi().desktops.erase(desktop) == 0) {
    reportViolation("display: CloseDesktop of a desktop that is not open");
    return false;
  }
  return true;
}

int32_t DwmEnableComposition(uint32_t action) {
  if (CurrentBacking() != Backing::Simulated) return 0;
  auto& s = internal::simState();
  std::lock_guard lock(s.mutex);
  ++s.compositionCalls;
  s.compositionEnabled = action != 0;
  return 0;
}

uint32_t ProcessSessionId() { return internal::SessionId(); }

namespace sim {
int LiveGdiObjects() {
  std::lock_guard lock(gdi().mutex);
  // Every thread keeps one handle for its own desktop; those are not leaks.
  int threadHandles = threadDesktop.handle != 0 && gdi().desktops.count(threadDesktop.handle) ? 1 : 0;
  return static_cast<int>(gdi().contexts.size() + gdi().bitmaps.size() + gdi().sections.size() +
                          gdi().desktops.size()) -
         threadHandles;
}
}  // namespace sim

}  // namespace platform::display

namespace platform::display {
namespace {

// The composition call is served as the run-time module the capture code
// looks it up in.
const bool dwmapiRegistered = [] {
  RegisterPseudoModule("dwmapi.dll", {{"DwmEnableComposition", reinterpret_cast<void*>(&DwmEnableComposition)}});
  return true;
}();

}  // namespace
}  // namespace platform::display
