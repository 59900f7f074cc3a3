// Internal: the file-system layer through which every file function of the
// library reaches the disk. One process-wide instance (FileSystem::Instance)
// serves them all; it is never exported.
//
// Paths arrive as UTF-8 with either separator: "\" becomes "/", and the result
// must be absolute (a relative path fails in every operation that touches the
// disk). Failures come back as false, 0 or null, with the log lines of the
// library's logger. Mode bits in FileStat are the library's own (0x4000 folder,
// 0x8000 file, 0x1000 added for a symbolic link), never the platform's.
//
// Thread safety: the instance holds no mutable state and may be used by every
// thread; one FileHandle or DirectoryHandle is used by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tool::filesystem_internal {

inline constexpr uint16_t kModeDirectory = 0x4000;
inline constexpr uint16_t kModeFile = 0x8000;
inline constexpr uint16_t kModeLink = 0x1000;

// Times are whole seconds since 1970-01-01 UTC, truncated toward zero; a time
// outside the signed 32-bit range reads as -2147483648. (The fields are not
// called st_atime and so on: glibc defines those names as macros.)
struct FileStat {
  uint16_t st_mode = 0;
  int64_t st_size = 0;  // 0 for a folder
  int32_t access_time = 0;
  int32_t modify_time = 0;
  int32_t create_time = 0;  // birth time where the file system keeps one, else the change time
};

struct FileRecord;
using FileHandle = FileRecord*;
struct DirectoryHandle;

class FileSystem {
 public:
  // The process-wide instance; null only when it could not be allocated.
  static FileSystem* Instance();

  explicit FileSystem(std::string root = std::string());
  virtual ~FileSystem();
  FileSystem(const FileSystem&) = delete;
  FileSystem& operator=(const FileSystem&) = delete;

  // openMode: 1 read, 2 write (created or emptied), 3 read-write (created for
  // writing when missing), 4 append (created when missing). Folders and special
  // files (FIFOs, devices, sockets) are refused. Close with CloseFile.
  FileHandle OpenFile(const std::string& path, int openMode);
  // One system call each; the count moved.
  uint64_t ReadFile(FileHandle file, void* buffer, uint64_t buffer_size);
  uint64_t WriteFile(FileHandle file, const void* buffer, uint64_t buffer_size);
  // Moves up to `size` bytes from `in`'s position to `out`'s inside the kernel
  // (one copy_file_range call), both positions advancing; the count moved. 0
  // when it moved nothing: the end of `in`, or a copy the kernel cannot make
  // (across file systems on older kernels, special files) or that failed. The
  // caller then reads and writes, which reports the failure, if any. No log line.
  uint64_t CopyRange(FileHandle in, FileHandle out, uint64_t size);
  bool CloseFile(FileHandle file);
  // Sets the last write time (seconds since 1970) of an existing regular file,
  // leaving the access time; never creates one.
  bool SetModifiedTime(const std::string& path, int64_t seconds);
  // The whole content in a malloc'ed buffer of size + 1 bytes ending in a zero
  // byte; the caller frees it with free(). Empty files and files of 2 GiB or
  // more are refused.
  bool ReadWholeFile(const char* path, char** buffer, uint64_t* size);

  bool GetAttributes(const std::string& path, FileStat* stat_ref);
  bool IsPathExist(const std::string& path, bool* is_directory = nullptr);
  // Creates the last component only; true when something already stands there.
  bool CreateDirectory(const std::string& path);

  // Listing, "." and ".." included. `name` has room for at least 513 bytes.
  DirectoryHandle* OpenDirectory(const std::string& path);
  bool ReadDirectory(DirectoryHandle* dir, char* name);
  bool CloseDirectory(DirectoryHandle* dir);

  // Size and used bytes of the file system holding `path` (or its nearest
  // existing parent folder).
  bool GetDiskCapacity(const std::string& path, uint64_t* capacity, uint64_t* usage);

  bool RemoveFile(const std::string& path);
  // Never replaces an existing target.
  bool RenameFile(const std::string& source, const std::string& target);
  // Renames onto an existing file in one atomic step (a folder target is refused).
  bool ReplaceFile(const std::string& source, const std::string& target);

  // Collects the folders and files below `directory` (links and names holding
  // "\" are logged and left out): every folder stands after its parent, every
  // file after its folder.
  static bool RecursiveInDirectory(const std::string& directory, std::vector<std::string>& directories,
                                   std::vector<std::string>& files, bool recursive, FileSystem* fs);
  // Removes a folder (with everything below it when recursive). A protected
  // folder, or a tree holding one, is refused before anything is deleted; a
  // symbolic link given as `path` is removed as a link, never followed. Inside
  // the tree, links and mount points are left alone and make the removal
  // fail; everything is deleted through open descriptors (tree_removal.h).
  bool RemoveDirectory(const std::string& path, bool recursive);

  // The separator the walks and the copy join names with: "/".
  std::string PathSeparator() const;

  // The native path of a caller's path: root_ joined in front, "\" made "/".
  std::string LocalPath(const std::string& path) const;

 private:
  std::string root_;
};

// Closes a FileHandle through its layer when the owner goes.
struct FileCloser {
  FileSystem* fs;
  void operator()(FileRecord* file) const { fs->CloseFile(file); }
};
using ScopedFile = std::unique_ptr<FileRecord, FileCloser>;

}  // namespace tool::filesystem_internal
