#include "tool/directory_walk.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "tool/file_system.h"
#include "tool/logger.h"
#include "tool/path_util.h"
#include "tool/protected_paths.h"
#include "tool/string_util.h"
#include "tool/tree_removal.h"

namespace tool {

using filesystem_internal::DirectoryHandle;
using filesystem_internal::FileStat;
using filesystem_internal::FileSystem;
using filesystem_internal::kModeDirectory;
using filesystem_internal::kModeLink;

namespace {

constexpr std::size_t kNameBuffer = 4096;

// The layer reads "\" as a separator, so a joined path whose name holds one
// would be split there when handed back: "x\..\..\f" would name a file two
// folders up. Such a name can't be reported as a path that leads back to it;
// the walks leave it out (logged), as they do links.
bool SplitsWhenReadBack(const char* name, const std::string& directory) {
  if (std::strchr(name, '\\') == nullptr) return false;
  DebugLog(4, "found name holding '\\':'%s' while RecursiveInDirectory:'%s', ignored", name, directory.c_str());
  return true;
}

bool Walk(FileSystem& fs, const std::string& directory, const std::function<bool(const std::string&, bool)>& callback,
          bool recursive) {
  DirectoryHandle* dir = fs.OpenDirectory(directory);
  if (dir == nullptr) return true;  // nothing there to visit
  const std::string separator = fs.PathSeparator();
  std::vector<std::string> entries;
  auto name = std::make_unique<char[]>(kNameBuffer);
  while (fs.ReadDirectory(dir, name.get())) {
    if (!std::strcmp(name.get(), ".") || !std::strcmp(name.get(), "..") || !std::strcmp(name.get(), ".DS_Store") ||
        SplitsWhenReadBack(name.get(), directory)) {
      continue;
    }
    entries.push_back(AppendingPathComponent(directory, name.get(), separator));
  }
  fs.CloseDirectory(dir);
  for (const std::string& entry : entries) {
    FileStat record;
    if (!fs.GetAttributes(entry, &record)) continue;
    if (record.st_mode & kModeLink) {
      DebugLog(4, "found link file:'%s' while RecursiveInDirectory:'%s', ignored", entry.c_str(), directory.c_str());
      continue;
    }
    bool is_directory = (record.st_mode & kModeDirectory) != 0;
    if (!callback(entry, is_directory)) return false;
    if (is_directory && recursive && !Walk(fs, entry, callback, recursive)) return false;
  }
  return true;
}

}  // namespace

bool RecursiveInDirectory(const std::string& directory, std::function<bool(const std::string&, bool)> callback,
                          bool recursive) {
  FileSystem* fs = FileSystem::Instance();
  if (!fs) return false;
  if (!callback) {
    DebugLog(4, "RecursiveInDirectory:'%s' with an empty callback, ignored", directory.c_str());
    return false;
  }
  return Walk(*fs, directory, callback, recursive);
}

bool RemoveDirectoryW(const std::string& dir_path, bool recursive) {
  if (dir_path.empty()) {
    DebugLog(4, "RemoveDirectory with empty dir_path, ignored");
    return false;
  }
  FileSystem* fs = FileSystem::Instance();
  return fs && fs->RemoveDirectory(dir_path, recursive);
}

}  // namespace tool

namespace tool::filesystem_internal {

bool FileSystem::RecursiveInDirectory(const std::string& directory, std::vector<std::string>& directories,
                                      std::vector<std::string>& files, bool recursive, FileSystem* fs) {
  if (fs == nullptr) {
    DebugLog(4, "FileSystem::RecursiveInDirectory with invalid param fs: 0x%x", 0);
    return false;
  }
  DebugLog(5, "RecursiveInDirectory: len:%d, '%s'", static_cast<int>(directory.size()), directory.c_str());
  const std::size_t first_new = directories.size();
  const std::string path = directory;  // `directory` may live in a list that grows
  DirectoryHandle* dir = fs->OpenDirectory(path);
  if (dir == nullptr) return false;
  std::unique_ptr<char[]> name(new (std::nothrow) char[kNameBuffer]());
  if (!name) {
    fs->CloseDirectory(dir);
    return false;
  }
  const std::string separator = fs->PathSeparator();
  while (fs->ReadDirectory(dir, name.get())) {
    if (!std::strcmp(name.get(), ".") || !std::strcmp(name.get(), "..") || SplitsWhenReadBack(name.get(), path)) {
      continue;
    }
    std::string entry = AppendingPathComponent(path, name.get(), separator);
    FileStat record;
    if (!fs->GetAttributes(entry, &record)) continue;
    if (record.st_mode & kModeLink) {
      DebugLog(4, "found link file:'%s' while RecursiveInDirectory:'%s', ignored", entry.c_str(), path.c_str());
      continue;
    }
    ((record.st_mode & kModeDirectory) ? directories : files).push_back(std::move(entry));
  }
  fs->CloseDirectory(dir);
  if (!recursive) return true;
  const std::size_t end = directories.size();
  for (std::size_t i = first_new; i < end; ++i) {
    const std::string below = directories[i];
    if (!RecursiveInDirectory(below, directories, files, recursive, fs)) return false;
  }
  return true;
}

bool FileSystem::RemoveDirectory(const std::string& path, bool recursive) {
  if (path.empty()) return false;
  std::string local = LocalPath(path);
  if (local.empty() || local[0] != '/') return false;  // relative paths fail, as everywhere in the layer
  // As text: "link/" or "link/." would make lstat look through the link.
  local = NormalisePath(local);
  const ProtectedPaths& protected_paths = ProcessProtectedPaths();
  if (IsProtectedPath(protected_paths, local)) {
    DebugLog(4, "FileSystem skip RemoveDirectory:%s", local.c_str());
    return false;
  }
  // A link is removed as a link: what it points at is never walked.
  struct stat top {};
  if (::lstat(local.c_str(), &top) == 0 && S_ISLNK(top.st_mode)) {
    if (::unlink(local.c_str()) != 0) {
      DebugLog(4, "FileSystem RemoveDirectory:'%s' failed, %s", local.c_str(), PrettyLastError().c_str());
      return false;
    }
    return true;
  }
  return RemoveTree(local, recursive, protected_paths);
}

}  // namespace tool::filesystem_internal
