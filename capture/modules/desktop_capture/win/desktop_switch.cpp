#include "capture/modules/desktop_capture/win/desktop_switch.h"

#include <vector>

#include "platform/core/last_error.h"
#include "platform/display/gdi.h"

namespace capture {

namespace display = platform::display;

DesktopHandle::~DesktopHandle() {
  if (owned_ && handle_ != 0) display::CloseDesktop(handle_);
}

std::unique_ptr<DesktopHandle> DesktopHandle::OpenInput() {
  uint64_t handle = display::OpenInputDesktop();
  if (handle == 0) return nullptr;
  return std::unique_ptr<DesktopHandle>(new DesktopHandle(handle, true));
}

std::unique_ptr<DesktopHandle> DesktopHandle::OfThisThread() {
  uint64_t handle = display::GetThreadDesktop();
  if (handle == 0) return nullptr;
  return std::unique_ptr<DesktopHandle>(new DesktopHandle(handle, false));
}

std::optional<std::wstring> DesktopHandle::name() const {
  uint32_t needed = 0;
  // The first call only learns the size. Anything but "buffer too small" means
  // the name cannot be read; that is an answer, never a reason to end.
  if (display::GetUserObjectName(handle_, nullptr, 0, &needed) ||
      platform::GetLastError() != platform::kErrorInsufficientBuffer || needed < 2) {
    return std::nullopt;
  }
  std::vector<wchar_t> buffer(needed / 2);
  if (!display::GetUserObjectName(handle_, buffer.data(), needed, &needed)) return std::nullopt;
  std::wstring text(buffer.data(), needed / 2);
  while (!text.empty() && text.back() == L'\0') text.pop_back();
  return text;
}

bool DesktopHandle::sameAs(const DesktopHandle& other) const {
  auto mine = name();
  auto theirs = other.name();
  return mine && theirs && *mine == *theirs;
}

bool DesktopHandle::makeCurrent() const { return display::SetThreadDesktop(handle_); }

ThreadDesktopSwitch::ThreadDesktopSwitch() : initial_(DesktopHandle::OfThisThread()) {}

ThreadDesktopSwitch::~ThreadDesktopSwitch() { revert(); }

bool ThreadDesktopSwitch::switchTo(std::unique_ptr<DesktopHandle> desktop) {
  revert();
  if (!desktop) return false;
  if (initial_ && initial_->sameAs(*desktop)) return true;  // already there; the handle closes here
  if (!desktop->makeCurrent()) return false;
  switched_ = std::move(desktop);
  return true;
}

void ThreadDesktopSwitch::revert() {
  if (!switched_) return;
  if (initial_) initial_->makeCurrent();
  switched_.reset();
}

bool ThreadDesktopSwitch::matches(const DesktopHandle& desktop) const {
  if (switched_) return switched_->sameAs(desktop);
  return initial_ && initial_->sameAs(desktop);
}

}  // namespace capture
