#include "tool/file_util.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tool/file_system.h"
#include "tool/logger.h"
#include "tool/mount_choice.h"
#include "tool/path_util.h"
#include "tool/protected_paths.h"
#include "tool/string_util.h"

namespace tool {

using filesystem_internal::FileStat;
using filesystem_internal::FileSystem;

namespace {

// Seconds from 1601-01-01 (the file-time epoch) to 1970-01-01.
constexpr double kFileTimeEpochOffset = 11644473600.0;

std::string ExecutablePath() {
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return std::string();
  return std::string(path, static_cast<std::size_t>(n));
}

}  // namespace

bool IsPathExist(const std::string& path, bool* is_directory) {
  FileSystem* fs = FileSystem::Instance();
  return fs && fs->IsPathExist(path, is_directory);
}

uint64_t GetFileSize(const std::string& path, bool log_failure) {
  FileSystem* fs = FileSystem::Instance();
  FileStat record;
  if (!fs || !fs->GetAttributes(path, &record)) {
    if (log_failure) DebugLog(4, "GetFileSize '%s' failed", path.c_str());
    return 0;
  }
  return static_cast<uint64_t>(record.st_size);
}

double GetFileModifiedTime(const std::string& path) {
  FileSystem* fs = FileSystem::Instance();
  FileStat record;
  if (!IsPathExist(path, nullptr) || !fs->GetAttributes(path, &record)) return DefaultDoubleNANValue();
  return record.modify_time;
}

bool SetFileModifiedTime(const std::string& path, double seconds) {
  bool is_directory = false;
  if (!IsPathExist(path, &is_directory) || is_directory) return false;
  if (!std::isfinite(seconds)) {
    DebugLog(4, "SetFileModifiedTime '%s' refused, the time %f is not a number", path.c_str(), seconds);
    return false;
  }
  // The time is kept as a 64-bit count of 100 ns units since 1601; outside that
  // range it cannot be stored.
  double since1601 = std::trunc(seconds) + kFileTimeEpochOffset;
  if (since1601 < 0 || since1601 >= 9223372036854775807.0 / 1e7) {
    DebugLog(4, "SetFileModifiedTime '%s' refused, the time %f is out of range", path.c_str(), seconds);
    return false;
  }
  return FileSystem::Instance()->SetModifiedTime(path, static_cast<int64_t>(std::trunc(seconds)));
}

std::string GetFileContent(const std::string& path) {
  FileSystem* fs = FileSystem::Instance();
  if (!fs) return std::string();
  bool is_directory = false;
  if (!fs->IsPathExist(path, &is_directory) || is_directory) {
    DebugLog(4, "%s '%s' doesn't exist or is_dir:%d", "local file", path.c_str(), is_directory ? 1 : 0);
    return std::string();
  }
  char* buffer = nullptr;
  uint64_t size = 0;
  std::string content;
  if (fs->ReadWholeFile(path.c_str(), &buffer, &size) && buffer && size != 0) {
    content.assign(buffer, static_cast<std::size_t>(size));
  } else {
    DebugLog(4, "%s '%s' failed got content or null content:0x%p or zero size:%lld", "local file", path.c_str(),
             static_cast<void*>(buffer), static_cast<long long>(size));
  }
  std::free(buffer);
  return content;
}

bool CreateDirectoryIfNeed(const std::string& dir_path, bool is_createIntermediate_directories) {
  FileSystem* fs = FileSystem::Instance();
  if (!fs) {
    DebugLog(4, "CreateDirectoryIfNeed got empty fs param with dir_path:'%s'", dir_path.c_str());
    return false;
  }
  bool is_directory = false;
  if (fs->IsPathExist(dir_path, &is_directory)) {
    if (is_directory) return true;
    DebugLog(4, "CreateDirectoryIfNeed failed, '%s' exist and isn't directory entry", dir_path.c_str());
    return false;
  }
  if (!is_createIntermediate_directories) return fs->CreateDirectory(dir_path);

  const std::string local = fs->LocalPath(dir_path);
  const std::string separator = fs->PathSeparator();
  std::vector<std::string> components = SplitedStringVectorBySeparator(local, separator);
  // Every proper prefix; the first (the root) is never created.
  std::vector<std::string> prefixes;
  for (std::size_t k = 1; k < components.size(); ++k) {
    std::vector<std::string> head(components.begin(), components.begin() + static_cast<std::ptrdiff_t>(k));
    std::string joined = StringJoinedBySeparator(head, separator);
    if (!joined.empty()) prefixes.push_back(joined);
  }
  std::size_t found = 0;
  for (std::size_t i = prefixes.size(); i-- > 1;) {
    if (fs->IsPathExist(prefixes[i])) {
      found = i;
      break;
    }
  }
  for (std::size_t i = found + 1; i < prefixes.size(); ++i) {
    if (!fs->CreateDirectory(prefixes[i])) {
      DebugLog(4, "CreateDirectory '%s' failed, can't create intermediate dir '%s'", local.c_str(),
               prefixes[i].c_str());
      return false;
    }
  }
  if (!fs->CreateDirectory(local)) {
    DebugLog(4, "CreateDirectory '%s' failed, is_createIntermediate_directories:%d", local.c_str(), 1);
    return false;
  }
  return true;
}

bool RemoveFile(const std::string& path) {
  FileSystem* fs = FileSystem::Instance();
  return fs && fs->RemoveFile(path);
}

bool RenameFile(const std::string& source, const std::string& target) {
  FileSystem* fs = FileSystem::Instance();
  if (!fs) return false;
  if (!fs->IsPathExist(source)) {
    DebugLog(4, "RenameFile '%s' -> '%s' failed, the source doesn't exist", source.c_str(), target.c_str());
    return false;
  }
  if (fs->IsPathExist(target)) {
    // Replaced in one step by the rename: a failed rename keeps the old target.
    DebugLog(4, "remove exist file:'%s' before rename '%s'", target.c_str(), source.c_str());
    return fs->ReplaceFile(source, target);
  }
  return fs->RenameFile(source, target);
}

std::string GetAppDataPath() {
  std::string folder;
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && config[0] == '/') {
    folder = config;
  } else if (std::string home = filesystem_internal::HomeOfProcess(); !home.empty()) {
    folder = home + "/.config";
  }
  if (!folder.empty()) {
    if (folder.back() != '/') folder += '/';
  } else {
    // No home at all: a folder named Profile beside the program.
    std::string program = ExecutablePath();
    if (program.empty()) return std::string();
    folder = program.substr(0, program.find_last_of('/') + 1) + "Profile";
  }
  CreateDirectoryIfNeed(folder, false);
  return folder;
}

__attribute__((noinline)) std::string GetDllModulePath() {
  void* caller = __builtin_extract_return_addr(__builtin_return_address(0));
  std::string path;
  Dl_info info{};
  link_map* module = nullptr;
  if (dladdr1(caller, &info, reinterpret_cast<void**>(&module), RTLD_DL_LINKMAP) != 0 && module && module->l_name &&
      module->l_name[0] == '/') {
    path = module->l_name;
  } else {
    // The program itself has no name in its link map.
    path = ExecutablePath();
  }
  return GetPathDirName(path, "/");
}

std::string GetMostFreeSpaceDisk() {
  return filesystem_internal::MostFreeMount(filesystem_internal::LocalDiskMounts());
}

bool GetPathDriveFreeSpace(const std::string& path, uint64_t& free_bytes) {
  FileSystem* fs = FileSystem::Instance();
  uint64_t capacity = 0, usage = 0;
  if (path.empty() || !fs || !fs->GetDiskCapacity(path, &capacity, &usage)) return false;
  free_bytes = capacity - usage;
  return true;
}

double DefaultDoubleNANValue() { return std::bit_cast<double>(uint64_t{0x7FF8000000000001}); }

bool IsDefaultDoubleNANValue(const double& value) { return std::isnan(value); }

}  // namespace tool
