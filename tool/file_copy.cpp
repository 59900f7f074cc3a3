#include "tool/file_copy.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <new>
#include <unordered_set>
#include <vector>

#include "tool/directory_walk.h"
#include "tool/file_system.h"
#include "tool/file_util.h"
#include "tool/logger.h"
#include "tool/path_util.h"
#include "tool/protected_paths.h"
#include "tool/string_util.h"

namespace tool {

using filesystem_internal::FileCloser;
using filesystem_internal::FileStat;
using filesystem_internal::FileSystem;
using filesystem_internal::kModeLink;
using filesystem_internal::ScopedFile;

namespace {

constexpr uint64_t kChunk = 1048576;

// Whether two existing paths are one file or folder (same device and inode).
// The second is asked first: a copy's destination is usually not there yet,
// and then one query answers.
bool SameObject(FileSystem& fs, const std::string& a, const std::string& b) {
  struct stat first {
  }, second{};
  return ::stat(fs.LocalPath(b).c_str(), &second) == 0 && ::stat(fs.LocalPath(a).c_str(), &first) == 0 &&
         first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

// Whether `path` (which may not exist yet) lies inside the existing folder
// `folder`, links resolved: its nearest existing folder is resolved, and the
// part below that, not there yet, can hold no link.
bool Inside(FileSystem& fs, const std::string& path, const std::string& folder) {
  char resolved[PATH_MAX];
  if (::realpath(fs.LocalPath(folder).c_str(), resolved) == nullptr) return false;
  const std::string top = resolved;
  std::string probe = filesystem_internal::NormalisePath(fs.LocalPath(path));
  while (::realpath(probe.c_str(), resolved) == nullptr) {
    if (probe == "/") return false;
    probe.erase(std::max<std::size_t>(probe.find_last_of('/'), 1));
  }
  const std::string real = resolved;
  return real.compare(0, top.size(), top) == 0 && (real.size() == top.size() || top == "/" || real[top.size()] == '/');
}

// What the files of one copy share, so that a tree of many small files does
// not pay per file for what one answer covers: one chunk buffer, the
// destination folders already made, and whether the free room was checked
// once for all the files.
struct CopyRun {
  explicit CopyRun(FileSystem& layer) : fs(layer) {}

  FileSystem& fs;
  std::unique_ptr<char[]> buffer;  // one chunk, made for the first file
  std::unordered_set<std::string> folders;
  bool room_checked = false;

  // Creates `folder` with its parents unless this copy made or found it before.
  void MakeFolder(const std::string& folder) {
    if (folders.count(folder) != 0) return;
    if (CreateDirectoryIfNeed(folder, true)) folders.insert(folder);
  }
};

bool CopyOneFile(CopyRun& run, const std::string& source, const std::string& destination,
                 const CopyFileProgress& callback) {
  FileSystem& fs = run.fs;
  FileStat record;
  if (!fs.GetAttributes(source, &record)) {
    DebugLog(4, "failed CopyFile '%s' -> '%s', src doesn't exist", source.c_str(), destination.c_str());
    return false;
  }
  if (record.st_mode & kModeLink) {
    DebugLog(4, "found link file while CopyFile '%s' -> '%s', ignored", source.c_str(), destination.c_str());
    return false;
  }
  // Opening the destination for writing empties it: were it the source, the
  // source would be lost.
  if (SameObject(fs, source, destination)) {
    DebugLog(4, "failed CopyFile '%s' -> '%s', src and dst are the same file", source.c_str(), destination.c_str());
    return false;
  }
  if (!run.room_checked) {
    uint64_t capacity = 0, usage = 0;
    if (!fs.GetDiskCapacity(destination, &capacity, &usage)) {
      DebugLog(4, "failed CopyFile '%s' -> '%s', dst file system not available", source.c_str(), destination.c_str());
      return false;
    }
    const auto free_bytes = static_cast<int64_t>(capacity - usage);
    if (record.st_size >= free_bytes) {
      DebugLog(4, "failed CopyFile '%s' -> '%s', dst file system full(%lld >= %lld)", source.c_str(),
               destination.c_str(), static_cast<long long>(record.st_size), static_cast<long long>(free_bytes));
      return false;
    }
  }
  run.MakeFolder(GetPathDirName(fs.LocalPath(destination), fs.PathSeparator()));
  ScopedFile in(fs.OpenFile(source, 1), FileCloser{&fs});
  if (!in) return false;
  ScopedFile out(fs.OpenFile(destination, 2), FileCloser{&fs});
  if (!out) return false;
  if (!run.buffer) run.buffer.reset(new (std::nothrow) char[kChunk]());
  if (!run.buffer) {
    DebugLog(4, "copy '%s' to '%s' failed, while alloc tmp buffer", source.c_str(), destination.c_str());
    return false;
  }
  char* const buffer = run.buffer.get();
  const auto size = static_cast<uint64_t>(record.st_size);
  uint64_t copied = 0;
  int reported = 0;
  // Chunks move inside the kernel, without passing through the buffer, until
  // the kernel cannot; then, for the rest of the file, they are read and
  // written, which also reports a failure that stopped the kernel's copy.
  bool in_kernel = true;
  while (size != 0) {
    uint64_t want = size - copied < kChunk ? size - copied : kChunk;
    uint64_t got = in_kernel ? fs.CopyRange(in.get(), out.get(), want) : 0;
    if (got == 0) {
      in_kernel = false;
      got = fs.ReadFile(in.get(), buffer, want);
      if (got == 0) break;
      if (fs.WriteFile(out.get(), buffer, got) != got) {
        // A short or failed write is a failed copy, never a silent hole.
        DebugLog(4, "copy %s to %s failed, short write", source.c_str(), destination.c_str());
        return false;
      }
    }
    copied += got;
    if (callback) {
      float ratio = static_cast<float>(copied) / static_cast<float>(size);
      int percent = static_cast<int>(ratio * 100.0f);
      if (percent != reported) {
        if (!callback(copied, size, ratio)) {
          DebugLog(4, "copy %s to %s abort by callback", source.c_str(), destination.c_str());
          break;
        }
        reported = percent;
      }
    }
    if (copied >= size) break;
  }
  return copied == size;
}

}  // namespace

bool CopyFileW(const std::string& source, const std::string& destination, CopyFileProgress callback) {
  FileSystem* fs = FileSystem::Instance();
  if (!fs) {
    DebugLog(4, "failed CopyFile '%s' -> '%s' with invalid src fs:0x%p or dst fs:0x%p", source.c_str(),
             destination.c_str(), static_cast<void*>(nullptr), static_cast<void*>(nullptr));
    return false;
  }
  CopyRun run(*fs);
  return CopyOneFile(run, source, destination, callback);
}

bool CopyDirectory(const std::string& source, const std::string& destination, CopyDirectoryProgress callback) {
  if (source.empty() || destination.empty()) return false;
  bool is_directory = false;
  if (!IsPathExist(source, &is_directory) || !is_directory) return false;
  FileSystem* fs = FileSystem::Instance();
  if (!fs) return false;
  if (SameObject(*fs, source, destination)) {
    DebugLog(4, "failed CopyDirectory '%s' -> '%s', src and dst are the same folder", source.c_str(),
             destination.c_str());
    return false;
  }
  // Copied into itself, the tree's files would land on its own files below.
  if (Inside(*fs, destination, source)) {
    DebugLog(4, "failed CopyDirectory '%s' -> '%s', dst is inside src", source.c_str(), destination.c_str());
    return false;
  }
  const std::string separator = fs->PathSeparator();
  std::vector<std::string> directories, files;
  uint64_t total_size = 0;
  RecursiveInDirectory(
      source,
      [&](const std::string& path, bool directory) {
        if (directory) {
          directories.push_back(path);
        } else {
          files.push_back(path);
          total_size += GetFileSize(path, false);
        }
        return true;
      },
      true);
  CopyRun run(*fs);
  // When all the files fit together, no file needs its own check; otherwise
  // each is checked against what is left when its turn comes.
  uint64_t capacity = 0, usage = 0;
  if (fs->GetDiskCapacity(destination, &capacity, &usage)) {
    run.room_checked = static_cast<int64_t>(total_size) < static_cast<int64_t>(capacity - usage);
  }
  const uint64_t file_count = files.size();
  const std::size_t prefix = source.size() + (EndsWith(source, separator) ? 0 : separator.size());
  uint64_t finished = 0;
  bool failed = false;
  uint64_t number = 1;
  for (const std::string& file : files) {
    const std::string joined = AppendingPathComponent(destination, file.substr(prefix), separator);
    const std::string target =
        AppendingPathComponent(GetPathDirName(joined, separator), GetPathBaseName(joined, separator), separator);
    run.MakeFolder(GetPathDirName(joined, separator));
    bool stopped = false;
    bool copied = CopyOneFile(run, file, target, [&](uint64_t done, uint64_t size, float) {
      if (!callback) return true;
      uint64_t total_done = finished + done;
      float ratio = static_cast<float>(total_done) / static_cast<float>(total_size);
      if (!callback(file, done, size, total_done, total_size, ratio, number, file_count)) {
        stopped = true;
        return false;
      }
      return true;
    });
    if (stopped) return false;
    if (!copied) failed = true;
    finished += GetFileSize(joined, false);
    ++number;
  }
  run.MakeFolder(destination);
  for (const std::string& directory : directories) {
    if (directory.size() > prefix) {
      run.MakeFolder(AppendingPathComponent(destination, directory.substr(prefix), separator));
    }
  }
  return !failed && finished == total_size;
}

}  // namespace tool
