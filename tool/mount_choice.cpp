#include "tool/mount_choice.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace tool::filesystem_internal {

namespace {

// The mount table writes blanks, tabs, newlines and backslashes as \ooo.
std::string Unescape(const std::string& field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' && field[i + 1] <= '7') {
      out.push_back(static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0')));
      i += 3;
    } else {
      out.push_back(field[i]);
    }
  }
  return out;
}

bool IsBlockDevice(const std::string& source) {
  struct stat info {};
  return source.rfind("/dev/", 0) == 0 && ::stat(source.c_str(), &info) == 0 && S_ISBLK(info.st_mode);
}

}  // namespace

std::vector<std::string> LocalDiskMounts() {
  std::vector<std::string> mounts;
  std::ifstream table("/proc/self/mounts");
  std::string line;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string source, target, type;
    if (!(fields >> source >> target >> type)) continue;
    target = Unescape(target);
    if (!IsBlockDevice(Unescape(source)) && type != "overlay" && type != "zfs") continue;
    if (std::find(mounts.begin(), mounts.end(), target) == mounts.end()) mounts.push_back(target);
  }
  return mounts;
}

std::string MostFreeMount(const std::vector<std::string>& mounts) {
  std::vector<std::pair<std::string, uint64_t>> candidates;
  for (const std::string& mount : mounts) {
    struct statvfs info {};
    if (::statvfs(mount.c_str(), &info) != 0) continue;
    candidates.emplace_back(mount, static_cast<uint64_t>(info.f_bavail) * info.f_frsize);
  }
  return PickMostFree(candidates);
}

std::string PickMostFree(const std::vector<std::pair<std::string, uint64_t>>& candidates) {
  std::string best;
  uint64_t most = 0;
  for (const auto& [mount, free] : candidates) {
    if (free > most) {
      most = free;
      best = mount;
    }
  }
  return best;
}

}  // namespace tool::filesystem_internal
