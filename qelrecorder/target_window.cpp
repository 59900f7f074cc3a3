#include "qelrecorder/target_window.h"

#include <set>
#include <vector>

#include "platform/apps/render_processes.h"

namespace qelrec {

namespace {

struct Candidate {
  platform::display::Window window;
  uint32_t pid;
};

platform::display::Window FirstMainWindow(const std::vector<Candidate>& candidates, uint32_t pid) {
  for (const Candidate& c : candidates) {
    if (c.pid == pid && platform::display::GetWindowOwner(c.window) == 0 &&
        platform::display::IsWindowVisible(c.window)) {
      return c.window;
    }
  }
  return 0;
}

}  // namespace

platform::display::Window FindTargetWindow(uint32_t pid) {
  // Each window's process is asked once, however far up the tree the walk goes.
  std::vector<Candidate> candidates;
  for (platform::display::Window w : platform::display::EnumWindows()) {
    candidates.push_back({w, platform::display::GetWindowThreadProcessId(w)});
  }
  // A process seen twice would be a loop in what /proc said while processes
  // came and went: the walk ends there.
  std::set<uint32_t> seen;
  for (uint32_t process = pid; process != 0 && seen.insert(process).second;
       process = platform::apps::ParentProcessId(process)) {
    if (platform::display::Window found = FirstMainWindow(candidates, process)) return found;
  }
  return 0;
}

}  // namespace qelrec
