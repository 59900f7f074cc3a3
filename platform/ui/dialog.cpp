#include "platform/ui/dialog.h"

#include <tinyxml.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <vector>

#include "platform/display/display.h"
#include "platform/ui/ui_extras.h"

namespace platform::ui {

namespace {

std::mutex rootMutex;
std::string skinRoot;

std::string programFolder() {
  char buffer[PATH_MAX + 1];
  const ssize_t got = ::readlink("/proc/self/exe", buffer, PATH_MAX);
  if (got <= 0) return std::string();
  std::string path(buffer, static_cast<size_t>(got));
  return path.substr(0, path.find_last_of('/') + 1);
}

bool attributeTrue(const char* value, bool fallback) {
  if (value == nullptr) return fallback;
  return std::string(value) == "true" || std::string(value) == "1";
}

// Live dialogs in the order they were made, with their controls' names: a
// posted click goes to the latest one that has the control.
struct LiveDialogs {
  std::mutex mutex;
  std::vector<std::pair<HWND, std::set<std::string>>> list;
};

LiveDialogs& liveDialogs() {
  static auto* instance = new LiveDialogs;  // outlives threads that post clicks
  return *instance;
}

void forgetDialog(HWND window) {
  LiveDialogs& live = liveDialogs();
  std::lock_guard<std::mutex> lock(live.mutex);
  std::erase_if(live.list, [&](const auto& entry) { return entry.first == window; });
}

HWND latestDialogWith(const std::string& control) {
  LiveDialogs& live = liveDialogs();
  std::lock_guard<std::mutex> lock(live.mutex);
  for (auto it = live.list.rbegin(); it != live.list.rend(); ++it) {
    if (it->second.count(control) != 0) return it->first;
  }
  return nullptr;
}

// Constant-initialised, so a hook installed by another file's static
// initialiser is never overwritten.
std::atomic<ModalLoopHook> modalLoopHook{nullptr};

}  // namespace

void SetModalLoopHook(ModalLoopHook hook) { modalLoopHook.store(hook); }

bool PostClickToLatestDialog(const std::string& control) {
  // Ownership of the name passes with the message; a dialog gone drops it.
  const HWND dialog = latestDialogWith(control);
  auto* name = new std::string(control);
  if (dialog == nullptr || !PostMessage(dialog, kWmPostedClick, 0, reinterpret_cast<LPARAM>(name))) {
    delete name;
    return false;
  }
  return true;
}

void DialogWindow::SetSkinRoot(const std::string& folder) {
  std::lock_guard<std::mutex> lock(rootMutex);
  skinRoot = folder;
}

std::string DialogWindow::SkinRoot() {
  std::lock_guard<std::mutex> lock(rootMutex);
  return skinRoot.empty() ? programFolder() + "skins/" : skinRoot;
}

DialogWindow::~DialogWindow() {
  if (hwnd_ != nullptr) {
    HWND w = hwnd_;
    hwnd_ = nullptr;
    forgetDialog(w);
    DestroyWindow(w);
  }
}

bool DialogWindow::LoadSkin(const std::string& path) {
  TiXmlDocument doc;
  if (!doc.LoadFile(path.c_str())) {
    std::fprintf(stderr, "skin %s cannot be read: %s\n", path.c_str(), doc.ErrorDesc());
    return false;
  }
  const TiXmlElement* root = doc.RootElement();
  if (root == nullptr) return false;
  if (const char* size = root->Attribute("size")) std::sscanf(size, "%d,%d", &initWidth_, &initHeight_);
  // Every named element at any depth is a control.
  std::vector<std::pair<const TiXmlElement*, std::string>> pending{{root, std::string()}};
  while (!pending.empty()) {
    const auto [e, parent] = pending.back();
    pending.pop_back();
    std::string enclosing = parent;
    if (const char* name = e->Attribute("name")) {
      Control c;
      c.name = name;
      c.parent = parent;
      enclosing = name;
      c.type = e->Value();
      if (const char* t = e->Attribute("text")) c.text = t;
      if (const char* t = e->Attribute("tooltip")) c.tooltip = t;
      c.visible = attributeTrue(e->Attribute("visible"), true);
      c.enabled = attributeTrue(e->Attribute("enabled"), true);
      c.selected = attributeTrue(e->Attribute("selected"), false);
      if (const char* b = e->Attribute("bordersize")) c.borderSize = std::atoi(b);
      if (const char* p = e->Attribute("pos")) {
        c.hasPos = std::sscanf(p, "%d,%d,%d,%d", &c.pos.left, &c.pos.top, &c.pos.right, &c.pos.bottom) == 4;
      }
      controls_[c.name] = c;
    }
    for (const TiXmlElement* child = e->FirstChildElement(); child != nullptr; child = child->NextSiblingElement()) {
      pending.emplace_back(child, enclosing);
    }
  }
  return true;
}

HWND DialogWindow::Create(HWND parent, const std::string& title, uint32_t style, uint32_t exStyle, const Rect& rect) {
  // The skin's name picks its look; a skin that brings no layout files of its
  // own ("skin-blue", the host's) uses the project's layouts in "default".
  std::string skinPath = SkinRoot() + SkinName() + "/" + SkinFile();
  if (::access(skinPath.c_str(), F_OK) != 0) skinPath = SkinRoot() + "default/" + SkinFile();
  if (!LoadSkin(skinPath)) return nullptr;
  WindowParams params;
  params.parent = parent;
  params.title = title;
  params.style = style;
  params.exStyle = exStyle;
  params.rect = rect;
  if (rect.right == rect.left || rect.bottom == rect.top) {
    params.rect = {rect.left, rect.top, rect.left + InitWidth(), rect.top + InitHeight()};
  }
  params.proc = [this](HWND, uint32_t msg, WPARAM w, LPARAM l) { return Proc(msg, w, l); };
  hwnd_ = CreateWindowEx(params);
  if (hwnd_ == nullptr) return nullptr;
  visible_ = (style & WS_VISIBLE) != 0;
  {
    std::set<std::string> names;
    for (const auto& [name, control] : controls_) names.insert(name);
    LiveDialogs& live = liveDialogs();
    std::lock_guard<std::mutex> lock(live.mutex);
    live.list.emplace_back(hwnd_, std::move(names));
  }
  InitWindow();
  // Delivered by the loop that runs the window, after the creator has placed it.
  PostMessage(hwnd_, kWmWindowInit, 0, 0);
  return hwnd_;
}

LRESULT DialogWindow::Proc(uint32_t msg, WPARAM wParam, LPARAM lParam) {
  if (msg == kWmWindowInit) {
    Notify("windowinit", "");
    return 0;
  }
  if (msg == WM_NCHITTEST) return OnNcHitTest(PointX(lParam), PointY(lParam));
  if (msg == kWmPostedClick) {
    std::unique_ptr<std::string> name(reinterpret_cast<std::string*>(lParam));
    if (name) Click(*name);
    return 0;
  }
  bool handled = false;
  const LRESULT result = HandleCustomMessage(msg, wParam, lParam, handled);
  if (handled) return result;
  if (msg == WM_CLOSE) {
    closeCode_ = static_cast<int>(wParam);
    closed_ = true;
    HWND w = hwnd_;
    hwnd_ = nullptr;
    forgetDialog(w);
    DestroyWindow(w);
    OnFinalMessage();
  }
  return result;
}

int DialogWindow::ShowModal() {
  if (hwnd_ == nullptr) return -1;
  if (const ModalLoopHook hook = modalLoopHook.load()) hook();
  Msg msg{};
  while (!closed_) {
    if (GetMessage(msg) == 0) {
      // A quit request belongs to the outermost loop: pass it on.
      PostQuitMessage(static_cast<int>(msg.wParam));
      break;
    }
    DispatchMessage(msg);
  }
  return closeCode_;
}

void DialogWindow::Close(int code) {
  if (hwnd_ != nullptr) PostMessage(hwnd_, WM_CLOSE, static_cast<WPARAM>(code), 0);
}

Control* DialogWindow::FindControl(const std::string& name) {
  auto it = controls_.find(name);
  return it == controls_.end() ? nullptr : &it->second;
}

bool DialogWindow::ControlScreenRect(const std::string& name, Rect& rect) {
  const Control* c = FindControl(name);
  Rect window{};
  if (c == nullptr || !c->hasPos || !GetWindowRect(hwnd_, window)) return false;
  const int right = c->pos.right > 0 ? window.left + c->pos.right : window.right + c->pos.right;
  const int bottom = c->pos.bottom > 0 ? window.top + c->pos.bottom : window.bottom + c->pos.bottom;
  rect = {window.left + c->pos.left, window.top + c->pos.top, right, bottom};
  return true;
}

void DialogWindow::AddDefaultAttributeList(const std::string& name, const std::string& value) {
  defaultAttributes_[name] = value;
}

std::string DialogWindow::DefaultAttribute(const std::string& name) const {
  auto it = defaultAttributes_.find(name);
  return it == defaultAttributes_.end() ? std::string() : it->second;
}

int DialogWindow::OnNcHitTest(int x, int y) {
  Rect r{};
  if (!GetWindowRect(hwnd_, r) || x < r.left || x >= r.right || y < r.top || y >= r.bottom) return HTNOWHERE;
  if ((GetWindowStyle(hwnd_) & WS_THICKFRAME) == 0) return HTCLIENT;
  constexpr int kBand = 4;
  const bool left = x < r.left + kBand;
  const bool right = x >= r.right - kBand;
  const bool top = y < r.top + kBand;
  const bool bottom = y >= r.bottom - kBand;
  // HTLEFT 10, HTRIGHT 11, HTTOP 12, HTTOPLEFT 13, HTTOPRIGHT 14, HTBOTTOM 15,
  // HTBOTTOMLEFT 16, HTBOTTOMRIGHT 17.
  if (top) return left ? 13 : right ? 14 : 12;
  if (bottom) return left ? 16 : right ? 17 : 15;
  if (left) return HTLEFT;
  if (right) return 11;
  return HTCLIENT;
}

void DialogWindow::CenterWindow() {
  Rect r{};
  if (!GetWindowRect(hwnd_, r)) return;
  const int w = r.right - r.left;
  const int h = r.bottom - r.top;
  // Over the owner when there is one, else in the middle of the work area of
  // the monitor the window is nearest to; always kept inside that work area.
  const HWND owner = GetParent(hwnd_);
  Rect around{};
  const bool overOwner = owner != nullptr && GetWindowRect(owner, around);
  MonitorInfoEx monitor;
  if (!GetMonitorInfo(MonitorFromWindow(overOwner ? owner : hwnd_, MONITOR_DEFAULTTONEAREST), &monitor)) return;
  const Rect& area = monitor.rcWork;
  if (!overOwner) around = area;
  int left = around.left + (around.right - around.left - w) / 2;
  int top = around.top + (around.bottom - around.top - h) / 2;
  left = std::max(area.left, std::min(left, area.right - w));
  top = std::max(area.top, std::min(top, area.bottom - h));
  SetWindowPos(hwnd_, {left, top, left + w, top + h});
}

bool DialogWindow::IsReallyVisible(const std::string& name) {
  for (const Control* c = FindControl(name); c != nullptr; c = c->parent.empty() ? nullptr : FindControl(c->parent)) {
    if (!c->visible) return false;
  }
  return FindControl(name) != nullptr;
}

void DialogWindow::Click(const std::string& name) {
  Control* c = FindControl(name);
  if (c == nullptr || !c->enabled || !IsReallyVisible(name)) return;
  // A check box turns over with the click, before its owner hears of it.
  if (c->type == "CheckBox") c->selected = !c->selected;
  Notify("click", name);
}

int DialogWindow::Scale(int value) const {
  const int percent = dpiMode_ != 0 ? dpiMode_ : display::ScreenDpi() * 100 / 96;
  return value * (percent > 0 ? percent : 100) / 100;
}

void DialogWindow::SetControlText(const std::string& name, const std::string& text) {
  Control* c = FindControl(name);
  if (c == nullptr || c->text == text) return;
  c->text = text;
  std::fprintf(stderr, "%s: %s = %s\n", GetWindowTitle(hwnd_).c_str(), name.c_str(), text.c_str());
}

}  // namespace platform::ui
