#include "platform/apps/render_processes.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <map>
#include <mutex>
#include <optional>

#include "platform/apps/playing_programs.h"
#include "platform/core/backing.h"
#include "platform/core/faults.h"

namespace platform::apps {

namespace {

// The whole query, connection included. The locator asks once a second and
// holds its table meanwhile, so a stalled server costs at most about a tick.
constexpr std::chrono::milliseconds kServerLimit{1000};

std::mutex listMutex;
std::vector<uint32_t> renderPids;
std::map<std::string, std::string> indirect;

std::mutex backingMutex;
std::optional<Backing> renderBacking;

Backing chosenBacking() {
  std::lock_guard<std::mutex> lock(backingMutex);
  // Reachability is asked at every call: a server that is down now may be up
  // at the next tick, and meanwhile the calls fail.
  if (!renderBacking) renderBacking = chooseBacking("apps", [] { return true; });
  return *renderBacking;
}

}  // namespace

int TSV_EnumerateRenderProcess(int* count, RenderProcessEntry* entries) {
  if (count == nullptr || entries == nullptr || *count < 0) return -1;
  if (injectedFault("apps.TSV_EnumerateRenderProcess")) return -1;
  std::vector<uint32_t> pids;
  if (chosenBacking() == Backing::Real) {
    if (!QueryPlayingPrograms(static_cast<size_t>(*count), kServerLimit, pids)) return -2;
  } else {
    std::lock_guard<std::mutex> lock(listMutex);
    pids = renderPids;
  }
  const int n = std::min<int>(*count, static_cast<int>(pids.size()));
  for (int i = 0; i < n; ++i) entries[i].processId = pids[static_cast<size_t>(i)];
  *count = n;
  return 0;
}

void SetRenderProcesses(const std::vector<uint32_t>& pids) {
  {
    std::lock_guard<std::mutex> lock(listMutex);
    renderPids = pids;
  }
  // A list given by a test or the run script is what plays, whatever the
  // sound server says.
  forceBacking("apps", Backing::Simulated);
  ReselectRenderBacking();
}

void ReselectRenderBacking() {
  std::lock_guard<std::mutex> lock(backingMutex);
  renderBacking.reset();
}

std::vector<uint32_t> RenderProcesses() {
  std::lock_guard<std::mutex> lock(listMutex);
  return renderPids;
}

std::string ProcessImagePath(uint32_t pid) {
  char buffer[PATH_MAX + 1];
  const std::string link = "/proc/" + std::to_string(pid) + "/exe";
  const ssize_t got = ::readlink(link.c_str(), buffer, PATH_MAX);
  if (got > 0) return std::string(buffer, static_cast<size_t>(got));
  // Without access to the link, the first argument names the program.
  std::ifstream cmdline("/proc/" + std::to_string(pid) + "/cmdline");
  std::string first;
  std::getline(cmdline, first, '\0');
  return first;
}

bool ProcessEnded(uint32_t pid) {
  if (pid == 0) return true;
  if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) return true;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return true;
  const size_t paren = line.rfind(')');
  return paren != std::string::npos && paren + 2 < line.size() && line[paren + 2] == 'Z';
}

uint64_t ProcessStartTime(uint32_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return 0;
  const size_t paren = line.rfind(')');
  if (paren == std::string::npos) return 0;
  // Fields after the name: state is the 3rd field, start time the 22nd.
  std::istringstream fields(line.substr(paren + 2));
  std::string field;
  for (int index = 3; fields >> field; ++index) {
    if (index == 22) return std::strtoull(field.c_str(), nullptr, 10);
  }
  return 0;
}

uint32_t ParentProcessId(uint32_t pid) {
  if (pid == 0) return 0;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return 0;
  // After the name (which may hold blanks and parentheses): state, then the parent.
  const size_t paren = line.rfind(')');
  if (paren == std::string::npos) return 0;
  std::istringstream fields(line.substr(paren + 1));
  std::string state;
  unsigned long parent = 0;
  if (!(fields >> state >> parent)) return 0;
  return static_cast<uint32_t>(parent);
}

bool ProcessEndedSince(uint32_t pid, uint64_t startTime) {
  return ProcessEnded(pid) || ProcessStartTime(pid) != startTime;
}

bool ProcessExists(uint32_t pid) { return pid != 0 && ::access(("/proc/" + std::to_string(pid)).c_str(), F_OK) == 0; }

void SetIndirectString(const std::string& key, const std::string& value) {
  std::lock_guard<std::mutex> lock(listMutex);
  indirect[key] = value;
}

bool LoadIndirectString(const std::string& key, std::string& value) {
  std::lock_guard<std::mutex> lock(listMutex);
  auto it = indirect.find(key);
  if (it == indirect.end()) return false;
  value = it->second;
  return true;
}

}  // namespace platform::apps
