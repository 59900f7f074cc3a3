#include "platform/ui/window.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

#include "platform/core/thread.h"
#include "platform/ui/hotkeys.h"
#include "platform/ui/ui_extras.h"

namespace platform::ui {

namespace {

// One message sent from another thread, answered by the owner thread.
struct SentItem {
  Msg msg{};
  std::mutex mutex;
  std::condition_variable answered;
  bool done = false;
  LRESULT result = 0;

  void finish(LRESULT value) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      result = value;
      done = true;
    }
    answered.notify_all();
  }
};

struct ThreadQueue {
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<Msg> posted;
  std::deque<std::shared_ptr<SentItem>> sent;
  bool alive = true;
};

struct WindowRecord {
  std::shared_ptr<ThreadQueue> queue;
  ThreadId owner = 0;
  std::shared_ptr<const WindowProc> proc;
  HWND parent = nullptr;
  std::string title;
  uint32_t style = 0;
  uint32_t exStyle = 0;
  Rect rect{};
  LayeredAttributes layered;
};

struct Windows {
  std::mutex mutex;
  std::map<uintptr_t, WindowRecord> windows;
  uintptr_t nextId = 0x10000;  // far from the small sentinel values
  int cursor = IDC_ARROW;
};

Windows& windows() {
  static Windows* instance = new Windows;  // outlives threads that end late
  return *instance;
}

uintptr_t idOf(HWND window) { return reinterpret_cast<uintptr_t>(window); }

// The calling thread's queue, made on first use; when the thread ends, messages
// still waiting to be answered are answered with 0 so no sender hangs.
struct QueueHolder {
  std::shared_ptr<ThreadQueue> queue = std::make_shared<ThreadQueue>();
  ~QueueHolder() {
    std::deque<std::shared_ptr<SentItem>> pending;
    {
      std::lock_guard<std::mutex> lock(queue->mutex);
      queue->alive = false;
      pending.swap(queue->sent);
    }
    for (auto& item : pending) item->finish(0);
  }
};

std::shared_ptr<ThreadQueue> currentQueue() {
  thread_local QueueHolder holder;
  return holder.queue;
}

std::shared_ptr<const WindowProc> procOf(HWND window) {
  Windows& w = windows();
  std::lock_guard<std::mutex> lock(w.mutex);
  auto it = w.windows.find(idOf(window));
  return it == w.windows.end() ? nullptr : it->second.proc;
}

LRESULT callProc(const Msg& msg) {
  auto proc = procOf(msg.hwnd);
  if (!proc || !*proc) return 0;
  return (*proc)(msg.hwnd, msg.message, msg.wParam, msg.lParam);
}

// Answers every message other threads have sent to the calling thread.
void runSentMessages(ThreadQueue& queue) {
  while (true) {
    std::shared_ptr<SentItem> item;
    {
      std::lock_guard<std::mutex> lock(queue.mutex);
      if (queue.sent.empty()) return;
      item = std::move(queue.sent.front());
      queue.sent.pop_front();
    }
    item->finish(callProc(item->msg));
  }
}

}  // namespace

HWND CreateWindowEx(const WindowParams& params) {
  WindowRecord record;
  record.queue = currentQueue();
  record.owner = CurrentThreadId();
  record.proc = std::make_shared<const WindowProc>(params.proc);
  record.parent = params.parent;
  record.title = params.title;
  record.style = params.style;
  record.exStyle = params.exStyle;
  record.rect = params.rect;
  Windows& w = windows();
  std::lock_guard<std::mutex> lock(w.mutex);
  if (params.parent != nullptr && params.parent != HWND_MESSAGE && w.windows.count(idOf(params.parent)) == 0) {
    return nullptr;
  }
  const uintptr_t id = w.nextId++;
  w.windows.emplace(id, std::move(record));
  return reinterpret_cast<HWND>(id);
}

bool DestroyWindow(HWND window) {
  if (!IsWindow(window)) return false;
  callProc(Msg{window, WM_DESTROY, 0, 0});
  UnregisterWindowHotKeys(window);
  KillWindowTimers(window);
  Windows& w = windows();
  std::lock_guard<std::mutex> lock(w.mutex);
  return w.windows.erase(idOf(window)) != 0;
}

bool IsWindow(HWND window) {
  Windows& w = windows();
  std::lock_guard<std::mutex> lock(w.mutex);
  return w.windows.count(idOf(window)) != 0;
}

namespace {
// Layers below this one (the magnifier) ask through core whether a window lives.
const bool liveCheckInstalled = [] {
  SetWindowLiveCheck(&IsWindow);
  return true;
}();
}  // namespace

LRESULT SendMessage(HWND window, uint32_t message, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<ThreadQueue> queue;
  ThreadId owner = 0;
  {
    Windows& w = windows();
    std::lock_guard<std::mutex> lock(w.mutex);
    auto it = w.windows.find(idOf(window));
    if (it == w.windows.end()) return 0;
    queue = it->second.queue;
    owner = it->second.owner;
  }
  const Msg msg{window, message, wParam, lParam};
  if (owner == CurrentThreadId()) return callProc(msg);

  auto item = std::make_shared<SentItem>();
  item->msg = msg;
  {
    std::lock_guard<std::mutex> lock(queue->mutex);
    if (!queue->alive) return 0;
    queue->sent.push_back(item);
  }
  queue->wake.notify_all();
  std::unique_lock<std::mutex> lock(item->mutex);
  item->answered.wait(lock, [&] { return item->done; });
  return item->result;
}

bool PostMessage(HWND window, uint32_t message, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<ThreadQueue> queue;
  {
    Windows& w = windows();
    std::lock_guard<std::mutex> lock(w.mutex);
    auto it = w.windows.find(idOf(window));
    if (it == w.windows.end()) return false;
    queue = it->second.queue;
  }
  {
    std::lock_guard<std::mutex> lock(queue->mutex);
    if (!queue->alive) return false;
    queue->posted.push_back(Msg{window, message, wParam, lParam});
  }
  queue->wake.notify_all();
  return true;
}

void PostQuitMessage(int exitCode) {
  auto queue = currentQueue();
  {
    std::lock_guard<std::mutex> lock(queue->mutex);
    queue->posted.push_back(Msg{nullptr, WM_QUIT, static_cast<WPARAM>(exitCode), 0});
  }
  queue->wake.notify_all();
}

int GetMessage(Msg& msg) {
  auto queue = currentQueue();
  while (true) {
    runSentMessages(*queue);
    std::unique_lock<std::mutex> lock(queue->mutex);
    queue->wake.wait(lock, [&] { return !queue->posted.empty() || !queue->sent.empty(); });
    if (!queue->posted.empty()) {
      msg = queue->posted.front();
      queue->posted.pop_front();
      return msg.message == WM_QUIT ? 0 : 1;
    }
  }
}

bool PeekMessage(Msg& msg) {
  auto queue = currentQueue();
  runSentMessages(*queue);
  std::lock_guard<std::mutex> lock(queue->mutex);
  if (queue->posted.empty()) return false;
  msg = queue->posted.front();
  queue->posted.pop_front();
  return true;
}

LRESULT DispatchMessage(const Msg& msg) {
  if (msg.hwnd == nullptr) return 0;
  // A timer killed after its message was queued says nothing any more.
  if (msg.message == WM_TIMER && !TimerAlive(msg.hwnd, msg.wParam)) return 0;
  return callProc(msg);
}

std::string GetWindowTitle(HWND window) {
  Windows& w = windows();
  std::lock_guard<std::mutex> lock(w.mutex);
  auto it = w.windows.find(idOf(window));
  return it == w.windows.end() ? std::string() : it->second.title;
}

bool SetWindowTitle(HWND window, const std::string& title) {
  Windows& w = windows();
  std::lock_guard<std::mutex> lock(w.mutex);
  auto it = w.windows.find(idOf(window));
  if (it == w.windows.end()) return false;
  it->second.title = title;
  return true;
}

HWND FindWindowByTitle(const std::string& title) {
  Windows& w = windows();
  std::lock_guard<std::mutex> lock(w.mutex);
  for (const auto& [id, record] : w.windows) {
    if (record.title == title) return reinterpret_cast<HWND>(id);
  }
  return nullptr;
}

bool GetWindowRect(HWND window, Rect& rect) {
  Windows& w = windows();
  std::lock_guard<std::mutex> lock(w.mutex);
  auto it = w.windows.find(idOf(window));
  if (it == w.windows.end()) return false;
  rect = it->second.rect;
  return true;
}

bool SetWindowPos(HWND window, const Rect& rect) {
  Windows& w = windows();
  std::lock_guard<std::mutex> lock(w.mutex);
  auto it = w.windows.find(idOf(window));
  if (it == w.windows.end()) return false;
  it->second.rect = rect;
  return true;
}

bool IsMessageOnlyWindow(HWND window) {
  Windows& w = windows();
  std::lock_guard<std::mutex> lock(w.mutex);
  auto it = w.windows.find(idOf(window));
  return it != w.windows.end() && it->second.parent == HWND_MESSAGE;
}

HWND GetParent(HWND window) {
  Windows& w = windows();
  std::lock_guard<std::mutex> lock(w.mutex);
  auto it = w.windows.find(idOf(window));
  return it == w.windows.end() || it->second.parent == HWND_MESSAGE ? nullptr : it->second.parent;
}

uint32_t GetWindowStyle(HWND window) {
  Windows& w = windows();
  std::lock_guard<std::mutex> lock(w.mutex);
  auto it = w.windows.find(idOf(window));
  return it == w.windows.end() ? 0 : it->second.style;
}

uint32_t GetWindowExStyle(HWND window) {
  Windows& w = windows();
  std::lock_guard<std::mutex> lock(w.mutex);
  auto it = w.windows.find(idOf(window));
  return it == w.windows.end() ? 0 : it->second.exStyle;
}

bool SetWindowExStyle(HWND window, uint32_t exStyle) {
  Windows& w = windows();
  std::lock_guard<std::mutex> lock(w.mutex);
  auto it = w.windows.find(idOf(window));
  if (it == w.windows.end()) return false;
  it->second.exStyle = exStyle;
  return true;
}

bool SetLayeredWindowAttributes(HWND window, uint32_t colorKey, uint8_t alpha, uint32_t flags) {
  Windows& w = windows();
  std::lock_guard<std::mutex> lock(w.mutex);
  auto it = w.windows.find(idOf(window));
  if (it == w.windows.end() || (it->second.exStyle & WS_EX_LAYERED) == 0) return false;
  it->second.layered = LayeredAttributes{colorKey, alpha, flags};
  return true;
}

bool GetLayeredWindowAttributes(HWND window, LayeredAttributes* attributes) {
  Windows& w = windows();
  std::lock_guard<std::mutex> lock(w.mutex);
  auto it = w.windows.find(idOf(window));
  if (it == w.windows.end() || (it->second.exStyle & WS_EX_LAYERED) == 0 || attributes == nullptr) return false;
  *attributes = it->second.layered;
  return true;
}

void SetCursorShape(int cursor) {
  Windows& w = windows();
  std::lock_guard<std::mutex> lock(w.mutex);
  w.cursor = cursor;
}

int CurrentCursorShape() {
  Windows& w = windows();
  std::lock_guard<std::mutex> lock(w.mutex);
  return w.cursor;
}

bool DragWindow(HWND window, int x, int y, const Rect& to) {
  if (!IsWindow(window)) return false;
  const auto hit = static_cast<int>(SendMessage(window, WM_NCHITTEST, 0, MakePointLParam(x, y)));
  // The pointer over the point: the window may choose its shape; the
  // system's own is the arrow.
  SetCursorShape(IDC_ARROW);
  constexpr uint32_t kMouseMove = 0x0200;
  SendMessage(window, WM_SETCURSOR, reinterpret_cast<WPARAM>(window),
              static_cast<LPARAM>((kMouseMove << 16) | static_cast<uint16_t>(hit)));
  Rect rect = to;
  if (hit == HTCAPTION) {
    SendMessage(window, WM_MOVING, 0, reinterpret_cast<LPARAM>(&rect));
  } else if (hit >= HTLEFT && hit <= HTBOTTOMRIGHT) {
    SendMessage(window, WM_SIZING, static_cast<WPARAM>(hit - HTLEFT + 1), reinterpret_cast<LPARAM>(&rect));
  } else {
    return false;
  }
  // The window may have changed the rectangle it gets.
  return SetWindowPos(window, rect);
}

int LiveWindowCount() {
  Windows& w = windows();
  std::lock_guard<std::mutex> lock(w.mutex);
  return static_cast<int>(w.windows.size());
}

}  // namespace platform::ui
