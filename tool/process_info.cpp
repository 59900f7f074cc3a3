#include "tool/process_info.h"

#include <dirent.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "tool/elf_class.h"
#include "tool/logger.h"
#include "tool/string_util.h"
#include "tool/system_info.h"

namespace tool {

namespace {

// Ids of the processes in /proc, ascending.
std::vector<uint64_t> ProcessIds() {
  std::vector<uint64_t> ids;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return ids;
  while (const dirent* entry = ::readdir(proc)) {
    char* end = nullptr;
    unsigned long long id = std::strtoull(entry->d_name, &end, 10);
    if (end != entry->d_name && *end == 0) ids.push_back(id);
  }
  ::closedir(proc);
  std::sort(ids.begin(), ids.end());
  return ids;
}

// The executable of a process, "" when it can't be read.
std::string ExecutableOf(uint64_t id) {
  const std::string link = "/proc/" + std::to_string(id) + "/exe";
  char target[4096];
  ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
  std::string path = n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
  // A replaced or deleted executable is shown with this suffix.
  const std::string deleted = " (deleted)";
  if (path.size() > deleted.size() && path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0) {
    path.erase(path.size() - deleted.size());
  }
  return path;
}

// The entry of one process; false when it is gone or unreadable.
bool ReadEntry(uint64_t id, ProcessEntry& entry) {
  const std::string base = "/proc/" + std::to_string(id);
  std::ifstream stat_file(base + "/stat");
  std::string stat;
  if (!std::getline(stat_file, stat)) return false;
  // "pid (comm) state ppid ...": comm may hold blanks and ")", so the fields
  // start after the last ")".
  std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return false;
  std::istringstream fields(stat.substr(close + 1));
  std::string state;
  unsigned long long parent = 0;
  if (!(fields >> state >> parent)) return false;
  std::string exe = ExecutableOf(id);
  std::string name;
  if (!exe.empty()) {
    name = exe.substr(exe.find_last_of('/') + 1);
  } else {
    // Kernel threads and processes of other users show no executable.
    std::ifstream status(base + "/status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("Name:", 0) == 0) {
        name = Trim(line.substr(5), " \t");
        break;
      }
    }
  }
  entry.process_id = id;
  entry.parent_process_id = parent;
  entry.exe_file = UnicodeFromUTF8(name);
  return true;
}

// Whether `id` is a process, not another thread of one: /proc answers for
// every thread id, but only a process has its own id as thread-group id.
bool IsProcessId(uint64_t id) {
  std::ifstream status("/proc/" + std::to_string(id) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("Tgid:", 0) == 0) return std::strtoull(line.c_str() + 5, nullptr, 10) == id;
  }
  return false;
}

// The entry of a process asked for by id (the listing holds processes only).
bool ReadProcess(uint64_t id, ProcessEntry& entry) { return IsProcessId(id) && ReadEntry(id, entry); }

bool SameIgnoringCase(const std::wstring& a, const std::wstring& b) {
  auto lower = [](wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c; };
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [&](wchar_t x, wchar_t y) { return lower(x) == lower(y); });
}

// Privileges that have a capability of the same power.
int CapabilityOf(const std::string& privilege) {
  static const std::map<std::string, int> kCapabilities = {
      {"SeDebugPrivilege", CAP_SYS_PTRACE},        {"SeShutdownPrivilege", CAP_SYS_BOOT},
      {"SeRemoteShutdownPrivilege", CAP_SYS_BOOT}, {"SeBackupPrivilege", CAP_DAC_READ_SEARCH},
      {"SeRestorePrivilege", CAP_DAC_OVERRIDE},    {"SeSystemtimePrivilege", CAP_SYS_TIME},
      {"SeTimeZonePrivilege", CAP_SYS_TIME},       {"SeLoadDriverPrivilege", CAP_SYS_MODULE},
      {"SeTakeOwnershipPrivilege", CAP_FOWNER},    {"SeIncreaseBasePriorityPrivilege", CAP_SYS_NICE},
      {"SeLockMemoryPrivilege", CAP_IPC_LOCK},     {"SeSecurityPrivilege", CAP_AUDIT_CONTROL},
      {"SeAuditPrivilege", CAP_AUDIT_WRITE},       {"SeSystemEnvironmentPrivilege", CAP_SYS_ADMIN},
      {"SeTcbPrivilege", CAP_SYS_ADMIN},
  };
  auto found = kCapabilities.find(privilege);
  return found == kCapabilities.end() ? -1 : found->second;
}

}  // namespace

void ProcessLoop(std::function<bool(const ProcessEntry&)> callback) {
  if (!callback) return;
  for (uint64_t id : ProcessIds()) {
    ProcessEntry entry;
    if (!ReadEntry(id, entry)) continue;  // ended since the listing
    if (!callback(entry)) return;
  }
}

std::vector<uint64_t> GetProceeIDfromParentID(uint64_t parent_id) {
  std::vector<uint64_t> children;
  ProcessLoop([&](const ProcessEntry& entry) {
    if (entry.parent_process_id == parent_id) children.push_back(entry.process_id);
    return true;
  });
  return children;
}

uint64_t GetProceeParentID(uint64_t process_id) {
  ProcessEntry entry;
  return ReadProcess(process_id, entry) ? entry.parent_process_id : 0;
}

std::string GetProcessName(uint64_t process_id) {
  ProcessEntry entry;
  return ReadProcess(process_id, entry) ? UTF8FromUnicode(entry.exe_file) : std::string();
}

bool IsExistProcess(uint64_t process_id) {
  ProcessEntry entry;
  return ReadProcess(process_id, entry);
}

uint64_t GetRunningApplicationProcessID(const std::string& exe_name, std::function<bool(uint64_t, uint64_t)> filter) {
  if (!filter) {
    DebugLog(4, "GetRunningApplicationProcessID '%s' with an empty filter, ignored", exe_name.c_str());
    return 0;
  }
  const std::wstring wanted = UnicodeFromUTF8(exe_name);
  uint64_t found = 0;
  ProcessLoop([&](const ProcessEntry& entry) {
    if (SameIgnoringCase(entry.exe_file, wanted) && filter(entry.process_id, entry.parent_process_id)) {
      found = entry.process_id;
      return false;
    }
    return true;
  });
  return found;
}

std::string GetProcessPath(uint64_t process_id) {
  return IsProcessId(process_id) ? ExecutableOf(process_id) : std::string();
}

bool Is64BitProcess(void* process_handle) {
  // A 32-bit program on a 64-bit machine is what WOW64 is elsewhere; any other
  // process, and one whose executable cannot be read, has the machine's answer.
  const auto pid = reinterpret_cast<uintptr_t>(process_handle);
  if (pid != 0 &&
      process_internal::ReadElfClass("/proc/" + std::to_string(pid) + "/exe") == process_internal::ElfClass::Bits32) {
    return false;
  }
  return GetProcessArchitecture() == "x64";
}

bool GrantPriviledge(void* token, const std::string& privilege) {
  int capability = CapabilityOf(privilege);
  if (token != nullptr || capability < 0) return false;
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  const int word = capability / 32;
  const uint32_t bit = 1u << (capability % 32);
  if (!(data[word].permitted & bit)) return false;
  data[word].effective |= bit;
  return syscall(SYS_capset, &header, data) == 0;
}

}  // namespace tool
