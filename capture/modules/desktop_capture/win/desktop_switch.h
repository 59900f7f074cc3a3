// Desktops and moving the capturing thread to the desktop that receives input,
// so that capture goes on across a switch to the secure desktop or the lock
// screen and back.
//
// Thread safety: a ThreadDesktopSwitch belongs to the thread that made it and
// must be destroyed there (it puts the thread back on its first desktop).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace capture {

class DesktopHandle {
 public:
  ~DesktopHandle();
  DesktopHandle(const DesktopHandle&) = delete;
  DesktopHandle& operator=(const DesktopHandle&) = delete;

  // The desktop that receives input, owned; null when it cannot be opened.
  static std::unique_ptr<DesktopHandle> OpenInput();
  // The calling thread's desktop, not owned (never closed).
  static std::unique_ptr<DesktopHandle> OfThisThread();

  // The desktop's name; nothing when it cannot be read.
  std::optional<std::wstring> name() const;
  // Both names could be read and are equal.
  bool sameAs(const DesktopHandle& other) const;
  // Puts the calling thread on this desktop.
  bool makeCurrent() const;
  uint64_t handle() const { return handle_; }

 private:
  DesktopHandle(uint64_t handle, bool owned) : handle_(handle), owned_(owned) {}
  uint64_t handle_;
  bool owned_;
};

class ThreadDesktopSwitch {
 public:
  ThreadDesktopSwitch();
  ~ThreadDesktopSwitch();
  ThreadDesktopSwitch(const ThreadDesktopSwitch&) = delete;
  ThreadDesktopSwitch& operator=(const ThreadDesktopSwitch&) = delete;

  // Moves the thread to `desktop` (taken whatever happens). True when the
  // thread is on a desktop of that name afterwards.
  bool switchTo(std::unique_ptr<DesktopHandle> desktop);
  // Back to the first desktop.
  void revert();
  // Whether `desktop` is the one the thread was switched to (or its first one).
  bool matches(const DesktopHandle& desktop) const;

 private:
  std::unique_ptr<DesktopHandle> switched_;
  std::unique_ptr<DesktopHandle> initial_;
};

}  // namespace capture
