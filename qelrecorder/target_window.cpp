#include "qelrecorder/target_window.h"

#include <set>

#include "platform/apps/render_processes.h"

namespace qelrec {

namespace {

platform::display::Window FirstMainWindow(const std::vector<platform::display::Window>& windows, uint32_t pid) {
  for (platform::display::Window w : windows) {
    if (platform::display::GetWindowThreadProcessId(w) == pid && platform::display::GetWindowOwner(w) == 0 &&
        platform::display::IsWindowVisible(w)) {
      return w;
    }
  }
  return 0;
}

}  // namespace

platform::display::Window FindTargetWindow(uint32_t pid) {
  const std::vector<platform::display::Window> windows = platform::display::EnumWindows();
  // A process seen twice would be a loop in what /proc said while processes
  // came and went: the walk ends there.
  std::set<uint32_t> seen;
  for (uint32_t process = pid; process != 0 && seen.insert(process).second;
       process = platform::apps::ParentProcessId(process)) {
    if (platform::display::Window found = FirstMainWindow(windows, process)) return found;
  }
  return 0;
}

}  // namespace qelrec
