#include "common/process_table.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <utility>

#include "common/unique_fd.h"

namespace qel {

namespace {

// Plain read(2): a process that ends while its /proc files are read makes the
// read fail with ESRCH, which a file stream would turn into an exception.
bool readWhole(const std::string& path, std::string& out) {
  out.clear();
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return false;
  char buffer[4096];
  bool ok = true;
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n > 0) {
      out.append(buffer, static_cast<size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      ok = false;
      break;
    }
  }
  return ok;
}

std::string fileNameOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool allDigits(const char* s) {
  if (*s == '\0') return false;
  for (; *s; ++s) {
    if (*s < '0' || *s > '9') return false;
  }
  return true;
}

// The state, parent and session fields of /proc/<pid>/stat. The command name
// in parentheses may hold blanks and parentheses itself, so the fields are
// read after its last ')'.
bool readStatFields(const std::string& base, ProcessEntry& item) {
  std::string stat;
  if (!readWhole(base + "/stat", stat)) return false;
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) return false;
  char state = '?';
  long parent = 0;
  long group = 0;
  long session = 0;
  if (std::sscanf(stat.c_str() + close + 1, " %c %ld %ld %ld", &state, &parent, &group, &session) != 4) return false;
  item.state = state;
  item.parentPid = static_cast<pid_t>(parent);
  item.sessionId = static_cast<pid_t>(session);
  return true;
}

std::optional<ProcessEntry> readProcessAt(const std::string& base, pid_t pid) {
  std::string cmdline;
  std::string comm;
  const bool haveCmdline = readWhole(base + "/cmdline", cmdline);
  const bool haveComm = readWhole(base + "/comm", comm);
  if (!haveCmdline && !haveComm) return std::nullopt;  // gone meanwhile

  std::vector<std::string> args;
  size_t start = 0;
  while (start < cmdline.size()) {
    size_t end = cmdline.find('\0', start);
    if (end == std::string::npos) end = cmdline.size();
    args.emplace_back(cmdline, start, end - start);
    start = end + 1;
  }

  ProcessEntry item;
  item.pid = pid;
  for (size_t k = 0; k < args.size(); ++k) {
    if (k) item.commandLine.push_back(' ');
    item.commandLine += args[k];
  }
  if (!readStatFields(base, item)) return std::nullopt;

  char target[4096];
  const ssize_t len = ::readlink((base + "/exe").c_str(), target, sizeof target - 1);
  if (len > 0) {
    std::string exe(target, static_cast<size_t>(len));
    constexpr std::string_view kDeleted = " (deleted)";
    if (exe.size() > kDeleted.size() && exe.compare(exe.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0) {
      exe.resize(exe.size() - kDeleted.size());
    }
    item.imageName = fileNameOf(exe);
  } else if (!args.empty() && !args[0].empty()) {
    item.imageName = fileNameOf(args[0]);
  } else {
    while (!comm.empty() && (comm.back() == '\n' || comm.back() == '\0')) comm.pop_back();
    item.imageName = comm;
  }
  return item;
}

}  // namespace

std::vector<ProcessEntry> listProcesses() {
  std::vector<ProcessEntry> list;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir("/proc"), &::closedir);
  if (!dir) return list;
  while (dirent* entry = ::readdir(dir.get())) {
    if (!allDigits(entry->d_name)) continue;
    const pid_t pid = static_cast<pid_t>(std::strtol(entry->d_name, nullptr, 10));
    if (std::optional<ProcessEntry> item = readProcessAt(std::string("/proc/") + entry->d_name, pid)) {
      list.push_back(std::move(*item));
    }
  }
  return list;
}

std::optional<ProcessEntry> readProcess(pid_t pid) {
  if (pid <= 0) return std::nullopt;
  return readProcessAt("/proc/" + std::to_string(pid), pid);
}

}  // namespace qel
