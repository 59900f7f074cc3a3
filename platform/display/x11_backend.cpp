// The X11 backing: monitors through XRandR, windows through the window
// manager's client list (or the root's children), owners through _NET_WM_PID
// or the X-Resource extension, processes through /proc.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XRes.h>
#include <X11/extensions/XShm.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <X11/extensions/Xrandr.h>
#include <limits.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/text_convert.h"
#include "platform/display/backend.h"
#include "platform/display/x11_connection.h"

namespace platform::display::internal {
namespace {

struct Monitor {
  std::wstring name;
  Rect rect;
  bool primary = false;
};

// A property's raw items, freed with the object.
struct Property {
  Atom type = None;
  int format = 0;
  unsigned long count = 0;
  unsigned char* data = nullptr;
  Property() = default;
  Property(const Property&) = delete;
  Property& operator=(const Property&) = delete;
  ~Property() {
    if (data != nullptr) XFree(data);
  }
};

std::wstring Latin1ToWide(const char* text) {
  std::wstring out;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) out += wchar_t(*p);
  return out;
}

class X11Backend : public Backend {
 public:
  explicit X11Backend(x11::DisplayPtr display) : display_(std::move(display)) {
    Display* d = display_.get();
    root_ = DefaultRootWindow(d);
    int event = 0, error = 0;
    hasRandr_ = XRRQueryExtension(d, &event, &error) != 0;
    int major = 0, minor = 0;
    if (hasRandr_) hasRandr_ = XRRQueryVersion(d, &major, &minor) != 0 && (major > 1 || (major == 1 && minor >= 5));
    hasXres_ = XResQueryExtension(d, &event, &error) != 0;
    hasShm_ = XShmQueryExtension(d) != 0;
  }

  ~X11Backend() override { dropShm(); }

  Backing kind() const override { return Backing::Real; }

  bool device(uint32_t index, DisplayDevice* out) override {
    auto list = monitors();
    if (index >= list.size()) return false;
    const Monitor& m = list[index];
    out->name = m.name;
    out->description = L"X11 monitor";
    out->key = L"XRandR\\Monitor\\" + m.name;
    out->stateFlags = kDisplayDeviceActive | (m.primary ? kDisplayDevicePrimary : 0);
    return true;
  }

  bool currentMode(const std::wstring& name, DeviceMode* mode) override {
    for (const Monitor& m : monitors()) {
      if (m.name != name) continue;
      *mode = DeviceMode{m.rect.left, m.rect.top, m.rect.width(), m.rect.height(), 0, 32};
      return true;
    }
    return false;
  }

  Rect virtualScreen() override {
    if (lost()) return {};
    ::Window rootReturn;
    int x = 0, y = 0;
    unsigned width = 0, height = 0, border = 0, depth = 0;
    x11::ErrorTrap trap(display_.get());
    if (!XGetGeometry(display_.get(), root_, &rootReturn, &x, &y, &width, &height, &border, &depth)) return {};
    return Rect{0, 0, static_cast<int>(width), static_cast<int>(height)};
  }

  int monitorCount() override { return static_cast<int>(monitors().size()); }

  int dpi() override {
    if (lost()) return 96;
    // Xft.dpi in the resource database is what desktop toolkits scale by.
    const char* resources = XResourceManagerString(display_.get());
    if (resources != nullptr) {
      for (const char* line = resources; line != nullptr && *line != '\0';) {
        if (std::strncmp(line, "Xft.dpi:", 8) == 0) {
          double value = std::strtod(line + 8, nullptr);
          if (value > 0 && value < 10000) return static_cast<int>(std::lround(value));
        }
        line = std::strchr(line, '\n');
        if (line != nullptr) ++line;
      }
    }
    return 96;
  }

  std::vector<Window> windows() override {
    std::vector<Window> out;
    if (lost()) return out;
    Display* d = display_.get();
    x11::ErrorTrap trap(d);
    Atom clientList = XInternAtom(d, "_NET_CLIENT_LIST", True);
    Property list;
    if (clientList != None && getProperty(root_, clientList, XA_WINDOW, &list) && list.format == 32) {
      auto* ids = reinterpret_cast<unsigned long*>(list.data);
      for (unsigned long i = 0; i < list.count; ++i) out.push_back(ids[i]);
      return out;
    }
    // No window manager: the root's children are the top-level windows.
    ::Window rootReturn, parent;
    ::Window* children = nullptr;
    unsigned count = 0;
    if (XQueryTree(d, root_, &rootReturn, &parent, &children, &count)) {
      for (unsigned i = 0; i < count; ++i) out.push_back(children[i]);
      if (children != nullptr) XFree(children);
    }
    return out;
  }

  std::optional<WindowInfo> window(Window id) override {
    Display* d = display_.get();
    x11::ErrorTrap trap(d);
    XWindowAttributes attributes;
    if (!readAttributes(id, trap, &attributes)) return std::nullopt;
    ::Window w = static_cast<::Window>(id);
    WindowInfo info;
    info.title = title(w);
    XClassHint hint{};
    if (XGetClassHint(d, w, &hint)) {
      if (hint.res_class != nullptr) info.className = qel::utf8ToWide(hint.res_class);
      if (hint.res_name != nullptr) XFree(hint.res_name);
      if (hint.res_class != nullptr) XFree(hint.res_class);
    }
    info.pid = owner(w);
    info.style = style(w);
    if (trap.Sync() != 0 && lost()) return std::nullopt;
    return info;
  }

  std::optional<WindowPlacement> placement(Window id) override {
    Display* d = display_.get();
    x11::ErrorTrap trap(d);
    XWindowAttributes attributes;
    if (!readAttributes(id, trap, &attributes)) return std::nullopt;
    ::Window w = static_cast<::Window>(id);
    WindowPlacement out;
    int x = 0, y = 0;
    ::Window child = None;
    if (!XTranslateCoordinates(d, w, root_, 0, 0, &x, &y, &child)) return std::nullopt;
    out.frame = Rect{x, y, x + attributes.width, y + attributes.height};
    // The window manager's frame around the client: what the user sees as the window.
    Atom extents = XInternAtom(d, "_NET_FRAME_EXTENTS", True);
    if (extents != None) {
      Property p;
      if (getProperty(w, extents, XA_CARDINAL, &p) && p.format == 32 && p.count >= 4) {
        const auto* e = reinterpret_cast<const unsigned long*>(p.data);  // left, right, top, bottom
        out.frame = Rect{out.frame.left - static_cast<int>(e[0]), out.frame.top - static_cast<int>(e[2]),
                         out.frame.right + static_cast<int>(e[1]), out.frame.bottom + static_cast<int>(e[3])};
      }
    }
    ::Window owner = None;
    if (XGetTransientForHint(d, w, &owner) && owner != None && owner != root_) out.owner = owner;
    out.minimized = iconic(w);
    // A minimised client is unmapped by its window manager, yet still shown.
    out.visible = attributes.map_state != IsUnmapped || out.minimized;
    if (trap.Sync() != 0 && lost()) return std::nullopt;
    return out;
  }

  bool restore(Window id) override {
    Display* d = display_.get();
    x11::ErrorTrap trap(d);
    XWindowAttributes attributes;
    if (!readAttributes(id, trap, &attributes)) return false;
    ::Window w = static_cast<::Window>(id);
    // Mapping the client asks the window manager to bring it back (ICCCM);
    // activating it through the root does the same for EWMH managers.
    XMapRaised(d, w);
    Atom active = XInternAtom(d, "_NET_ACTIVE_WINDOW", True);
    if (active != None) {
      XEvent event{};
      event.xclient.type = ClientMessage;
      event.xclient.window = w;
      event.xclient.message_type = active;
      event.xclient.format = 32;
      event.xclient.data.l[0] = 2;  // a request from a tool acting for the user
      event.xclient.data.l[1] = CurrentTime;
      XSendEvent(d, root_, False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
    }
    return trap.Sync() == 0;
  }

  std::optional<std::wstring> processImagePath(uint32_t pid) override {
    std::string link = "/proc/" + std::to_string(pid) + "/exe";
    char target[PATH_MAX];
    ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) return std::nullopt;
    target[n] = '\0';
    return qel::utf8ToWide(target);
  }

  bool grabScreen(const Rect& area, uint8_t* bits, int stride) override {
    if (lost() || area.empty()) return false;
    Display* d = display_.get();
    x11::ErrorTrap trap(d);
    XImage* image = nullptr;
    if (hasShm_ && prepareShm(area.width(), area.height())) {
      // A grab outside the root (the screen shrank since the caller read its
      // rectangle) is a BadMatch: a failed grab, never the end of the process.
      if (XShmGetImage(d, root_, shmImage_, area.left, area.top, AllPlanes) && trap.Sync() == 0) {
        image = shmImage_;
      } else if (lost() || trap.firstError() == BadMatch) {
        return false;
      } else {
        dropShm();  // shared memory refused (a remote server): plain requests from now on
        hasShm_ = false;
      }
    }
    XImage* plain = nullptr;
    if (image == nullptr) {
      plain = XGetImage(d, root_, area.left, area.top, static_cast<unsigned>(area.width()),
                        static_cast<unsigned>(area.height()), AllPlanes, ZPixmap);
      if (plain == nullptr || trap.Sync() != 0) {
        if (plain != nullptr) XDestroyImage(plain);
        return false;
      }
      image = plain;
    }
    convert(image, area.width(), area.height(), bits, stride);
    if (plain != nullptr) XDestroyImage(plain);
    return true;
  }

  std::wstring inputDesktop() override { return L"Default"; }
  uint32_t sessionId() override { return 1; }

 private:
  // Keeps one shared image at least `width` x `height` for the grabs.
  bool prepareShm(int width, int height) {
    if (shmImage_ != nullptr && shmImage_->width == width && shmImage_->height == height) return true;
    dropShm();
    Display* d = display_.get();
    int screen = DefaultScreen(d);
    shmImage_ = XShmCreateImage(d, DefaultVisual(d, screen), static_cast<unsigned>(DefaultDepth(d, screen)), ZPixmap,
                                nullptr, &shmInfo_, static_cast<unsigned>(width), static_cast<unsigned>(height));
    if (shmImage_ == nullptr) return false;
    shmInfo_.shmid = shmget(IPC_PRIVATE, size_t(shmImage_->bytes_per_line) * shmImage_->height, IPC_CREAT | 0600);
    if (shmInfo_.shmid < 0) {
      dropShm();
      return false;
    }
    shmInfo_.shmaddr = shmImage_->data = static_cast<char*>(shmat(shmInfo_.shmid, nullptr, 0));
    shmInfo_.readOnly = False;
    if (shmInfo_.shmaddr == reinterpret_cast<char*>(-1)) {
      shmInfo_.shmaddr = shmImage_->data = nullptr;
      dropShm();
      return false;
    }
    x11::ErrorTrap trap(d);
    if (!XShmAttach(d, &shmInfo_) || trap.Sync() != 0) {
      dropShm();
      return false;
    }
    attached_ = true;
    // Marked for removal now: the segment goes away with its last user, even
    // if this process dies.
    shmctl(shmInfo_.shmid, IPC_RMID, nullptr);
    return true;
  }

  void dropShm() {
    if (shmImage_ == nullptr) return;
    if (attached_ && !lost()) {
      XShmDetach(display_.get(), &shmInfo_);
      XSync(display_.get(), False);
    }
    attached_ = false;
    if (shmInfo_.shmaddr != nullptr) shmdt(shmInfo_.shmaddr);
    if (shmInfo_.shmid >= 0 && shmInfo_.shmaddr == nullptr) shmctl(shmInfo_.shmid, IPC_RMID, nullptr);
    shmImage_->data = nullptr;
    XDestroyImage(shmImage_);
    shmImage_ = nullptr;
    shmInfo_ = {};
    shmInfo_.shmid = -1;
  }

  static int shiftOf(unsigned long mask) {
    int shift = 0;
    while (mask != 0 && (mask & 1) == 0) {
      mask >>= 1;
      ++shift;
    }
    return shift;
  }

  // To blue, green, red, alpha bytes. A screen without an alpha channel (depth
  // 24 in 32-bit pixels, blue in the low byte: what servers give) already has
  // these bytes and is opaque throughout: its rows are copied as they are,
  // the fourth byte as the server keeps it (0, as GDI leaves it too). Pixels
  // that carry alpha (depth 32) are made opaque, and other formats converted,
  // one by one.
  static void convert(XImage* image, int width, int height, uint8_t* bits, int stride) {
    bool direct = image->bits_per_pixel == 32 && image->red_mask == 0xFF0000 && image->green_mask == 0xFF00 &&
                  image->blue_mask == 0xFF && image->byte_order == LSBFirst;
    const bool opaque = direct && image->depth == 24;
    for (int y = 0; y < height; ++y) {
      auto* out = reinterpret_cast<uint32_t*>(bits + static_cast<ptrdiff_t>(stride) * y);
      if (direct) {
        const auto* in =
            reinterpret_cast<const uint32_t*>(image->data + static_cast<ptrdiff_t>(image->bytes_per_line) * y);
        if (opaque) {
          std::memcpy(out, in, static_cast<size_t>(width) * 4);
        } else {
          for (int x = 0; x < width; ++x) out[x] = in[x] | 0xFF000000u;
        }
        continue;
      }
      int rs = shiftOf(image->red_mask), gs = shiftOf(image->green_mask), bs = shiftOf(image->blue_mask);
      unsigned long rm = image->red_mask >> rs, gm = image->green_mask >> gs, bm = image->blue_mask >> bs;
      for (int x = 0; x < width; ++x) {
        unsigned long p = XGetPixel(image, x, y);
        auto scale = [](unsigned long v, unsigned long max) { return max == 0 ? 0u : unsigned(v * 255 / max); };
        out[x] =
            0xFF000000u | scale((p >> rs) & rm, rm) << 16 | scale((p >> gs) & gm, gm) << 8 | scale((p >> bs) & bm, bm);
      }
    }
  }

  bool lost() const override { return x11::ConnectionLost(display_.get()); }

  // Reads the attributes of window `id` under the caller's `trap`, which stays
  // up for the requests that follow; false when the id cannot name an X window
  // (X ids are 32 bits wide), the server does not know it, or the server is gone.
  bool readAttributes(Window id, x11::ErrorTrap& trap, XWindowAttributes* attributes) {
    if (lost() || id == 0 || id > 0xFFFFFFFFu) return false;
    return XGetWindowAttributes(display_.get(), static_cast<::Window>(id), attributes) && trap.Sync() == 0;
  }

  // Reads a whole property of `type` (AnyPropertyType allowed); false when absent.
  bool getProperty(::Window w, Atom property, Atom type, Property* out) {
    unsigned long after = 0;
    int status = XGetWindowProperty(display_.get(), w, property, 0, 1 << 20, False, type, &out->type, &out->format,
                                    &out->count, &after, &out->data);
    return status == Success && out->type != None && out->data != nullptr;
  }

  std::vector<Monitor> monitors() {
    std::vector<Monitor> out;
    if (lost()) return out;
    Display* d = display_.get();
    x11::ErrorTrap trap(d);
    if (hasRandr_) {
      int count = 0;
      XRRMonitorInfo* list = XRRGetMonitors(d, root_, True, &count);
      if (list != nullptr) {
        for (int pass = 0; pass < 2; ++pass) {  // the primary monitor comes first
          for (int i = 0; i < count; ++i) {
            if ((list[i].primary != 0) != (pass == 0)) continue;
            char* name = XGetAtomName(d, list[i].name);
            out.push_back({name != nullptr ? qel::utf8ToWide(name) : L"monitor" + std::to_wstring(i),
                           Rect{list[i].x, list[i].y, list[i].x + list[i].width, list[i].y + list[i].height},
                           list[i].primary != 0});
            if (name != nullptr) XFree(name);
          }
        }
        XRRFreeMonitors(list);
      }
    }
    if (out.empty()) {
      Rect screen = virtualScreen();
      if (!screen.empty()) out.push_back({L"screen", screen, true});
    }
    return out;
  }

  std::wstring title(::Window w) {
    Display* d = display_.get();
    Atom netName = XInternAtom(d, "_NET_WM_NAME", False);
    Atom utf8 = XInternAtom(d, "UTF8_STRING", False);
    {
      Property p;
      if (getProperty(w, netName, utf8, &p) && p.format == 8)
        return qel::utf8ToWide(std::string(reinterpret_cast<char*>(p.data), p.count));
    }
    char* name = nullptr;
    if (XFetchName(d, w, &name) && name != nullptr) {
      std::wstring text = Latin1ToWide(name);
      XFree(name);
      return text;
    }
    return std::wstring();
  }

  uint32_t owner(::Window w) {
    Display* d = display_.get();
    Atom pidAtom = XInternAtom(d, "_NET_WM_PID", True);
    if (pidAtom != None) {
      Property p;
      if (getProperty(w, pidAtom, XA_CARDINAL, &p) && p.format == 32 && p.count >= 1)
        return static_cast<uint32_t>(*reinterpret_cast<unsigned long*>(p.data));
    }
    if (!hasXres_) return 0;
    // The server knows the process of a local client.
    XResClientIdSpec spec{w, XRES_CLIENT_ID_PID_MASK};
    long count = 0;
    XResClientIdValue* values = nullptr;
    uint32_t pid = 0;
    if (XResQueryClientIds(d, 1, &spec, &count, &values) == Success) {
      for (long i = 0; i < count && pid == 0; ++i) {
        if (values[i].spec.mask & XRES_CLIENT_ID_PID_MASK) {
          pid_t found = XResGetClientPid(&values[i]);
          if (found > 0) pid = static_cast<uint32_t>(found);
        }
      }
      XResClientIdsDestroy(count, values);
    }
    return pid;
  }

  // Iconic by the ICCCM state the window manager keeps, or hidden by EWMH.
  bool iconic(::Window w) {
    Display* d = display_.get();
    Atom wmState = XInternAtom(d, "WM_STATE", True);
    if (wmState != None) {
      Property p;
      if (getProperty(w, wmState, wmState, &p) && p.format == 32 && p.count >= 1 &&
          *reinterpret_cast<const unsigned long*>(p.data) == IconicState) {
        return true;
      }
    }
    Atom netState = XInternAtom(d, "_NET_WM_STATE", True);
    Atom hidden = XInternAtom(d, "_NET_WM_STATE_HIDDEN", True);
    if (netState == None || hidden == None) return false;
    Property p;
    if (!getProperty(w, netState, XA_ATOM, &p) || p.format != 32) return false;
    const auto* atoms = reinterpret_cast<const Atom*>(p.data);
    for (unsigned long i = 0; i < p.count; ++i) {
      if (atoms[i] == hidden) return true;
    }
    return false;
  }

  // Minimize and maximize boxes from the actions the window manager allows.
  uint32_t style(::Window w) {
    Display* d = display_.get();
    Atom allowed = XInternAtom(d, "_NET_WM_ALLOWED_ACTIONS", True);
    if (allowed == None) return 0;
    Property p;
    if (!getProperty(w, allowed, XA_ATOM, &p) || p.format != 32) return 0;
    Atom minimize = XInternAtom(d, "_NET_WM_ACTION_MINIMIZE", False);
    Atom maximizeH = XInternAtom(d, "_NET_WM_ACTION_MAXIMIZE_HORZ", False);
    Atom maximizeV = XInternAtom(d, "_NET_WM_ACTION_MAXIMIZE_VERT", False);
    uint32_t bits = 0;
    auto* atoms = reinterpret_cast<Atom*>(p.data);
    for (unsigned long i = 0; i < p.count; ++i) {
      if (atoms[i] == minimize) bits |= kStyleMinimizeBox;
      if (atoms[i] == maximizeH || atoms[i] == maximizeV) bits |= kStyleMaximizeBox;
    }
    return bits;
  }

  x11::DisplayPtr display_;
  ::Window root_;
  bool hasRandr_ = false;
  bool hasXres_ = false;
  bool hasShm_ = false;
  XImage* shmImage_ = nullptr;
  XShmSegmentInfo shmInfo_{};
  bool attached_ = false;
};

}  // namespace

std::unique_ptr<Backend> MakeX11Backend(const std::string& displayName, std::string* unavailable) {
  x11::OpenFailure failure = x11::OpenFailure::kNone;
  x11::DisplayPtr display = x11::OpenDisplay(displayName, &failure);
  if (display) return std::make_unique<X11Backend>(std::move(display));
  if (unavailable != nullptr) {
    const std::string name = x11::DisplayName(displayName);
    switch (failure) {
      case x11::OpenFailure::kUnset: *unavailable = "no X display: DISPLAY is not set"; break;
      case x11::OpenFailure::kRefused: *unavailable = "the X display " + name + " refused the connection"; break;
      default: *unavailable = "the X display " + name + " does not answer"; break;
    }
  }
  return nullptr;
}

}  // namespace platform::display::internal
