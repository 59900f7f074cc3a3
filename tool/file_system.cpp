#include "tool/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "tool/logger.h"
#include "tool/path_util.h"
#include "tool/string_util.h"

namespace tool::filesystem_internal {

struct FileRecord {
  int fd;
};

struct DirectoryHandle {
  DIR* dir;
};

namespace {

// Disk-full failures of WriteFile are logged only while this budget lasts.
constexpr int kDiskFullBudget = 5;
std::atomic<int> g_disk_full_budget{kDiskFullBudget};

constexpr int64_t kTicksPerSecond = 10000000;

// Seconds since 1970 as the stat record keeps them: the 100 ns count truncated
// toward zero, and -2147483648 for anything outside 32 bits.
int32_t RecordTime(int64_t seconds, uint32_t nanoseconds) {
  if (seconds > INT32_MAX + 1LL || seconds < INT32_MIN - 1LL) return INT32_MIN;
  int64_t ticks = seconds * kTicksPerSecond + nanoseconds / 100;
  int64_t whole = ticks / kTicksPerSecond;
  if (whole > INT32_MAX || whole < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(whole);
}

unsigned Low32(const void* p) { return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p)); }

}  // namespace

FileSystem* FileSystem::Instance() {
  // Made once and never destroyed: files may be touched until the process ends.
  static FileSystem* const instance = new (std::nothrow) FileSystem();
  return instance;
}

FileSystem::FileSystem(std::string root) : root_(std::move(root)) {}

FileSystem::~FileSystem() = default;

std::string FileSystem::PathSeparator() const { return "/"; }

std::string FileSystem::LocalPath(const std::string& path) const {
  return ToDevicePath(AppendingPathComponent(root_, path, "/"));
}

namespace {

// The path the system is given: native and absolute, else errno is EINVAL.
bool SystemPath(const FileSystem& fs, const std::string& path, std::string* out) {
  *out = fs.LocalPath(path);
  if (out->empty() || (*out)[0] != '/') {
    errno = EINVAL;
    return false;
  }
  return true;
}

}  // namespace

bool FileSystem::GetAttributes(const std::string& path, FileStat* stat_ref) {
  if (stat_ref == nullptr) {
    DebugLog(4, "FileSystem::GetAttributes with invalid param stat_ref: 0x%x", 0);
    return false;
  }
  std::string native;
  if (!SystemPath(*this, path, &native)) return false;
  struct statx info {};
  if (statx(AT_FDCWD, native.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &info) != 0) {
    return false;
  }
  bool link = S_ISLNK(info.stx_mode);
  bool directory = S_ISDIR(info.stx_mode);
  auto size = static_cast<int64_t>(info.stx_size);
  if (link) {
    // A link is reported as a link; what stands behind it decides folder or
    // file and the size (an open reaches the target, so the length of the
    // link's own text would cut every whole-file read).
    struct stat target {};
    bool reached = ::stat(native.c_str(), &target) == 0;
    directory = reached && S_ISDIR(target.st_mode);
    size = reached ? static_cast<int64_t>(target.st_size) : 0;
  }
  stat_ref->st_mode = static_cast<uint16_t>((directory ? kModeDirectory : kModeFile) | (link ? kModeLink : 0));
  stat_ref->st_size = directory ? 0 : size;
  stat_ref->access_time = RecordTime(info.stx_atime.tv_sec, info.stx_atime.tv_nsec);
  stat_ref->modify_time = RecordTime(info.stx_mtime.tv_sec, info.stx_mtime.tv_nsec);
  const statx_timestamp& created = (info.stx_mask & STATX_BTIME) ? info.stx_btime : info.stx_ctime;
  stat_ref->create_time = RecordTime(created.tv_sec, created.tv_nsec);
  return true;
}

bool FileSystem::IsPathExist(const std::string& path, bool* is_directory) {
  FileStat record;
  if (!GetAttributes(path, &record)) return false;
  if (is_directory) *is_directory = (record.st_mode & kModeDirectory) != 0;
  return true;
}

FileHandle FileSystem::OpenFile(const std::string& path, int openMode) {
  DebugLog(5, "FileSystem::OpenFile:'%s'", path.c_str());
  if (openMode == 3 && !IsPathExist(path)) openMode = 2;
  int flags = 0;
  switch (openMode) {
    case 1: flags = O_RDONLY; break;
    case 2: flags = O_WRONLY | O_CREAT | O_TRUNC; break;
    case 3: flags = O_RDWR; break;
    case 4: flags = O_WRONLY | O_CREAT | O_APPEND; break;
    default: flags = -1; break;
  }
  int fd = -1;
  std::string native;
  if (flags == -1) {
    errno = EINVAL;
  } else if (SystemPath(*this, path, &native)) {
    struct stat before {};
    if (::stat(native.c_str(), &before) == 0 && !S_ISREG(before.st_mode)) {
      // Only regular files: a folder is no file, and a FIFO or device would
      // block or act on hardware. Checked before the open so nothing is emptied.
      errno = S_ISDIR(before.st_mode) ? EISDIR : EINVAL;
    } else {
      fd = ::open(native.c_str(), flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
      struct stat opened {};
      if (fd >= 0 && (fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode))) {
        ::close(fd);
        fd = -1;
        errno = EINVAL;
      }
      if (fd >= 0) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    }
  }
  FileRecord* record = fd >= 0 ? new (std::nothrow) FileRecord{fd} : nullptr;
  if (record == nullptr) {
    if (fd >= 0) {
      ::close(fd);
      errno = ENOMEM;
    }
    DebugLog(4, "OpenFile Error:%d", errno);
    DebugLog(4, "FileSystem::OpenFile failed, path:%s, openMode:%d, %s", path.c_str(), openMode,
             PrettyLastError().c_str());
  }
  return record;
}

uint64_t FileSystem::ReadFile(FileHandle file, void* buffer, uint64_t buffer_size) {
  if (file == nullptr || buffer == nullptr) {
    DebugLog(4, "FileSystem::ReadFile with invalid param file: 0x%x, buffer:0x%x", Low32(file), Low32(buffer));
    return 0;
  }
  DebugLog(5, "FileSystem::ReadFile:0x%p, buffer:0x%p, buffer_size:%lld", static_cast<void*>(file), buffer,
           static_cast<long long>(buffer_size));
  ssize_t got;
  do {
    errno = 0;
    got = ::read(file->fd, buffer, buffer_size);
  } while (got < 0 && errno == EINTR);
  if (got < 0) return 0;
  if (static_cast<uint64_t>(got) < buffer_size && errno != 0) {
    DebugLog(4, "FileSystem::ReadFile failed, 0x%p, buffer:%p, buffer_size:%llu, ret:%llu, %s",
             static_cast<void*>(file), buffer, static_cast<unsigned long long>(buffer_size),
             static_cast<unsigned long long>(got), PrettyLastError().c_str());
  }
  return static_cast<uint64_t>(got);
}

uint64_t FileSystem::WriteFile(FileHandle file, const void* buffer, uint64_t buffer_size) {
  if (file == nullptr || buffer == nullptr) {
    DebugLog(4, "FileSystem::WriteFile with invalid param file: 0x%x, buffer:0x%x", Low32(file), Low32(buffer));
    return 0;
  }
  ssize_t put;
  do {
    errno = 0;
    put = ::write(file->fd, buffer, buffer_size);
  } while (put < 0 && errno == EINTR);
  uint64_t written = put < 0 ? 0 : static_cast<uint64_t>(put);
  if (written >= buffer_size) return written;
  if (errno == 0) errno = ENOSPC;  // a short write without an error is a full disk
  int error = errno;
  std::string reason = PrettyLastError();
  if (error == ENOSPC) {
    int left = g_disk_full_budget.load();
    while (left > 0 && !g_disk_full_budget.compare_exchange_weak(left, left - 1)) {
    }
    if (left == 1) {
      DebugLog(4,
               "FileSystem::WriteFile got disk full error, only display first %d message, 0x%p, buffer:%p, "
               "buffer_size:%llu, ret:%llu, %s",
               kDiskFullBudget, static_cast<void*>(file), buffer, static_cast<unsigned long long>(buffer_size),
               static_cast<unsigned long long>(written), reason.c_str());
    }
  }
  if (g_disk_full_budget.load() > 0) {
    DebugLog(4, "FileSystem::WriteFile failed, 0x%p, buffer:%p, buffer_size:%llu, ret:%llu, %s",
             static_cast<void*>(file), buffer, static_cast<unsigned long long>(buffer_size),
             static_cast<unsigned long long>(written), reason.c_str());
  }
  errno = error;
  return written;
}

uint64_t FileSystem::CopyRange(FileHandle in, FileHandle out, uint64_t size) {
  if (in == nullptr || out == nullptr || size == 0) return 0;
  ssize_t moved;
  do {
    moved = ::copy_file_range(in->fd, nullptr, out->fd, nullptr, static_cast<std::size_t>(size), 0);
  } while (moved < 0 && errno == EINTR);
  return moved < 0 ? 0 : static_cast<uint64_t>(moved);
}

bool FileSystem::CloseFile(FileHandle file) {
  if (file == nullptr) {
    DebugLog(4, "FileSystem::CloseFile with invalid param file: 0x%x", 0);
    return false;
  }
  int fd = file->fd;
  delete file;
  if (::close(fd) != 0) {
    DebugLog(4, "FileSystem::CloseFile failed, %s", PrettyLastError().c_str());
    return false;
  }
  return true;
}

bool FileSystem::SetModifiedTime(const std::string& path, int64_t seconds) {
  std::string native;
  struct stat info {};
  // Only an existing regular file, opened for writing (changing its time needs
  // the right to write it) and never created.
  if (!SystemPath(*this, path, &native) || ::stat(native.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    return false;
  }
  struct Descriptor {
    int fd;
    ~Descriptor() {
      if (fd >= 0) ::close(fd);
    }
  } file{::open(native.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK)};
  timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(seconds), 0}};
  return file.fd >= 0 && fstat(file.fd, &info) == 0 && S_ISREG(info.st_mode) && ::futimens(file.fd, times) == 0;
}

bool FileSystem::ReadWholeFile(const char* path, char** buffer, uint64_t* size) {
  if (buffer == nullptr || path == nullptr) return false;
  FileStat record;
  if (!GetAttributes(path, &record) || record.st_size < 1) return false;
  // Sizes and counts of the readers are 32-bit signed further up.
  if (record.st_size >= (int64_t{1} << 31)) {
    DebugLog(4, "FileSystem::ReadWholeFile '%s' refused, size:%lld, files of 2 GiB or more are not supported", path,
             static_cast<long long>(record.st_size));
    return false;
  }
  ScopedFile file(OpenFile(path, 1), FileCloser{this});
  if (!file) return false;
  auto total = static_cast<uint64_t>(record.st_size);
  char* data = static_cast<char*>(std::calloc(total + 1, 1));
  if (data == nullptr) return false;
  uint64_t got = 0;
  while (got < total) {
    uint64_t n = ReadFile(file.get(), data + got, total - got);
    if (n == 0) break;
    got += n;
  }
  *buffer = data;
  if (size) *size = got;
  return true;
}

bool FileSystem::CreateDirectory(const std::string& path) {
  if (IsPathExist(path)) return true;
  std::string native;
  if (!SystemPath(*this, path, &native) || ::mkdir(native.c_str(), 0777) != 0) {
    DebugLog(2, "FileSystem::CreateDirectory failed, path:%s, %s", path.c_str(), PrettyLastError().c_str());
    return false;
  }
  return true;
}

DirectoryHandle* FileSystem::OpenDirectory(const std::string& path) {
  if (path.empty()) DebugLog(4, "open entire disk filesystem directory or null path?, path:%s", "(null)");
  std::string native;
  if (!SystemPath(*this, path, &native)) return nullptr;
  DIR* dir = ::opendir(native.c_str());  // glibc opens it close-on-exec
  if (dir == nullptr) return nullptr;
  auto* handle = new (std::nothrow) DirectoryHandle{dir};
  if (handle == nullptr) ::closedir(dir);
  return handle;
}

bool FileSystem::ReadDirectory(DirectoryHandle* dir, char* name) {
  if (dir == nullptr) {
    DebugLog(4, "FileSystem::ReadDirectory with invalid param dir: 0x%x", 0);
    return false;
  }
  errno = 0;
  const dirent* entry = ::readdir(dir->dir);
  if (entry == nullptr) return false;
  std::size_t n = strnlen(entry->d_name, 512);
  std::memcpy(name, entry->d_name, n);
  name[n] = 0;
  return true;
}

bool FileSystem::CloseDirectory(DirectoryHandle* dir) {
  if (dir == nullptr) {
    DebugLog(4, "FileSystem::CloseDirectory with invalid param dir: 0x%x", 0);
    return false;
  }
  bool closed = ::closedir(dir->dir) == 0;
  delete dir;
  return closed;
}

bool FileSystem::GetDiskCapacity(const std::string& path, uint64_t* capacity, uint64_t* usage) {
  if (capacity == nullptr || usage == nullptr) {
    DebugLog(4, "FileSystem::WriteFile with invalid param capacity: 0x%x, usage:0x%x", Low32(capacity), Low32(usage));
    return false;
  }
  if (path.empty()) return false;
  std::string native;
  if (!SystemPath(*this, path, &native)) return false;
  // The file or folder asked about may not exist yet (a copy's destination):
  // its nearest existing parent folder tells the file system.
  struct statvfs info {};
  while (::statvfs(native.c_str(), &info) != 0) {
    if (errno != ENOENT && errno != ENOTDIR) return false;
    std::size_t slash = native.find_last_of('/');
    if (native == "/" || slash == std::string::npos) return false;
    native.erase(slash == 0 ? 1 : slash);
  }
  uint64_t total = static_cast<uint64_t>(info.f_blocks) * info.f_frsize;
  uint64_t free = static_cast<uint64_t>(info.f_bfree) * info.f_frsize;
  *capacity = total;
  *usage = total - free;
  return true;
}

bool FileSystem::RemoveFile(const std::string& path) {
  std::string native;
  return SystemPath(*this, path, &native) && ::unlink(native.c_str()) == 0;
}

namespace {

// Renames `source` to `target`. With `replace` an existing file target is
// replaced in one step (a folder target is refused); without, an existing
// target is never replaced.
bool Rename(const FileSystem& fs, const std::string& source, const std::string& target, bool replace) {
  std::string from, to;
  bool done = SystemPath(fs, source, &from) && SystemPath(fs, target, &to);
  if (done) {
    struct stat existing {};
    if (replace && ::lstat(to.c_str(), &existing) == 0 && S_ISDIR(existing.st_mode)) {
      errno = EISDIR;
      done = false;
    } else if (replace) {
      done = ::rename(from.c_str(), to.c_str()) == 0;
    } else {
      done = ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0;
      if (!done && errno == EINVAL) {
        // File systems without RENAME_NOREPLACE: test, then rename.
        if (::lstat(to.c_str(), &existing) == 0) {
          errno = EEXIST;
        } else {
          done = ::rename(from.c_str(), to.c_str()) == 0;
        }
      }
    }
  }
  if (!done) {
    DebugLog(4, "FileSystem::RenameFile failed, %s -> %s, %s", source.c_str(), target.c_str(),
             PrettyLastError().c_str());
  }
  return done;
}

}  // namespace

bool FileSystem::RenameFile(const std::string& source, const std::string& target) {
  return Rename(*this, source, target, false);
}

bool FileSystem::ReplaceFile(const std::string& source, const std::string& target) {
  return Rename(*this, source, target, true);
}

}  // namespace tool::filesystem_internal
