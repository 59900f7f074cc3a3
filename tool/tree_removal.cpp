#include "tool/tree_removal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <set>
#include <utility>
#include <vector>

#include "common/unique_fd.h"
#include "tool/logger.h"
#include "tool/string_util.h"

namespace tool::filesystem_internal {

using qel::UniqueFd;

namespace {

// The statx attribute of a mount's root, where the C library's headers
// predate it.
#ifdef STATX_ATTR_MOUNT_ROOT
constexpr uint64_t kMountRoot = STATX_ATTR_MOUNT_ROOT;
#else
constexpr uint64_t kMountRoot = 0x00002000;
#endif

using Identity = std::pair<dev_t, ino_t>;

Identity IdentityOf(const struct stat& info) { return {info.st_dev, info.st_ino}; }

// Whether `name` in the folder open as `dirfd` (or, with an empty name and
// AT_EMPTY_PATH, that folder itself) is the root of a mount. Kernels that
// don't tell leave bind mounts of the same file system unseen.
bool IsMountRoot(int dirfd, const char* name, int flags) {
  struct statx info {};
  if (statx(dirfd, name, flags | AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_TYPE, &info) != 0) return false;
  return (info.stx_attributes_mask & kMountRoot) != 0 && (info.stx_attributes & kMountRoot) != 0;
}

// The names in the folder open as `fd`, "." and ".." left out; a failing read
// ends the listing as if it were complete.
std::vector<std::string> ListNames(int fd) {
  std::vector<std::string> names;
  int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return names;
  DIR* dir = ::fdopendir(copy);
  if (dir == nullptr) {
    ::close(copy);
    return names;
  }
  ::rewinddir(dir);  // the copy shares its position with every other copy of `fd`
  while (const dirent* entry = ::readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      names.emplace_back(entry->d_name);
    }
  }
  ::closedir(dir);
  return names;
}

// One walk over the tree: with `remove` false it only looks for protected
// folders; with `remove` true it deletes, bottom up. Both leave links and
// mounts alone in the same way, so the first walk sees what the second reaches.
// Every folder costs the same few system calls whatever its depth: folders are
// reached by name from the descriptor above, protected ones are known by
// device and inode, and a folder's path is only put together for a log line.
class TreeWalk {
 public:
  enum class Outcome { kDone, kRefused, kFailed };

  TreeWalk(const std::string& top, bool recursive, bool remove, const std::set<Identity>& identities)
      : top_(top), recursive_(recursive), remove_(remove), identities_(identities) {}

  // Walks below the top folder, open as `fd` (taken over); the top itself is
  // left to the caller.
  Outcome Run(UniqueFd fd, const struct stat& top) {
    device_ = top.st_dev;
    stack_.clear();
    stack_.push_back(Level{std::move(fd), IdentityOf(top), std::string(), {}, 0});
    Outcome outcome = Enter();
    while (outcome == Outcome::kDone && !stack_.empty()) {
      Level& level = stack_.back();
      if (level.next < level.folders.size()) {
        const std::string name = level.folders[level.next++];  // a copy: the stack may grow
        outcome = Descend(name);
      } else if (stack_.size() == 1) {
        break;
      } else {
        Level done = std::move(stack_.back());
        stack_.pop_back();
        done.fd.reset();
        if (remove_ && !RemoveEmpty(done.name, done.identity)) outcome = Outcome::kFailed;
      }
    }
    return outcome;
  }

 private:
  // A folder open for the walk, and the subfolders it holds that are still to
  // be handled.
  struct Level {
    UniqueFd fd;
    Identity identity;
    std::string name;  // in the folder above; empty for the top
    std::vector<std::string> folders;
    std::size_t next;
  };

  // The path of the innermost folder, or of `name` in it, for log lines.
  std::string PathOf(const std::string& name = std::string()) const {
    std::string path = top_;
    for (std::size_t i = 1; i < stack_.size(); ++i) path += "/" + stack_[i].name;
    return name.empty() ? path : path + "/" + name;
  }

  bool Protected(const std::string& name, const struct stat& info) const {
    if (identities_.count(IdentityOf(info)) == 0) return false;
    DebugLog(4, "FileSystem skip RemoveDirectory:%s", PathOf(name).c_str());
    return true;
  }

  void LogLink(const std::string& name) const {
    if (remove_) {
      DebugLog(4, "found link file:'%s' while RecursiveInDirectory:'%s', ignored", PathOf(name).c_str(),
               PathOf().c_str());
    }
  }

  void LogMount(const std::string& name) const {
    if (remove_) {
      DebugLog(4, "found mount point:'%s' while RemoveDirectory:'%s', ignored", PathOf(name).c_str(), PathOf().c_str());
    }
  }

  // `name` in the innermost folder could not be removed.
  Outcome Fail(const std::string& name) const {
    const int error = errno;  // putting the path together must not change the reason
    const std::string path = PathOf(name);
    errno = error;
    DebugLog(4, "FileSystem RemoveDirectory:'%s' with sub_dir:'%s', failed, %s", top_.c_str(), path.c_str(),
             PrettyLastError().c_str());
    return Outcome::kFailed;
  }

  // Sorts the entries of the folder just opened, the innermost one: links are
  // left alone, folders kept for later, everything else deleted at once (when
  // removing).
  Outcome Enter() {
    Level& level = stack_.back();
    for (const std::string& name : ListNames(level.fd.get())) {
      struct stat info {};
      if (::fstatat(level.fd.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) continue;  // gone
      if (S_ISLNK(info.st_mode)) {
        LogLink(name);
      } else if (S_ISDIR(info.st_mode)) {
        level.folders.push_back(name);
      } else if (remove_ && ::unlinkat(level.fd.get(), name.c_str(), 0) != 0 && errno != ENOENT) {
        return Outcome::kFailed;  // no line of its own, as for any file that stays
      }
    }
    return Outcome::kDone;
  }

  // Opens the subfolder `name` of the innermost level: left alone when it is a
  // link, on another file system or the root of a mount, or was replaced
  // meanwhile; refused when protected; then walked (or, without recursion,
  // removed when empty).
  Outcome Descend(const std::string& name) {
    const int parent = stack_.back().fd.get();
    struct stat info {};
    if (::fstatat(parent, name.c_str(), &info, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT) != 0) {
      return Outcome::kDone;  // gone
    }
    if (S_ISLNK(info.st_mode)) {
      LogLink(name);
      return Outcome::kDone;
    }
    if (!S_ISDIR(info.st_mode)) return Outcome::kDone;  // no folder any more: the folder above stays
    if (info.st_dev != device_ || IsMountRoot(parent, name.c_str(), 0)) {
      LogMount(name);
      return Outcome::kDone;
    }
    UniqueFd child(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY));
    if (child.get() < 0) {
      if (errno == ENOENT || errno == ELOOP || errno == ENOTDIR) return Outcome::kDone;  // replaced meanwhile
      if (errno != EACCES && errno != EPERM) return Fail(name);
      // A folder we may not read can't be emptied, but may be removed when
      // it is empty already.
      if (Protected(name, info)) return Outcome::kRefused;
      return !remove_ || RemoveEmpty(name, IdentityOf(info)) ? Outcome::kDone : Outcome::kFailed;
    }
    // What was opened must be what was looked at, and no mount either.
    struct stat opened {};
    if (::fstat(child.get(), &opened) != 0 || IdentityOf(opened) != IdentityOf(info)) return Outcome::kDone;
    if (IsMountRoot(child.get(), "", AT_EMPTY_PATH)) {
      LogMount(name);
      return Outcome::kDone;
    }
    if (Protected(name, opened)) return Outcome::kRefused;
    if (!recursive_) {
      child.reset();
      return !remove_ || RemoveEmpty(name, IdentityOf(opened)) ? Outcome::kDone : Outcome::kFailed;
    }
    stack_.push_back(Level{std::move(child), IdentityOf(opened), name, {}, 0});
    return Enter();
  }

  // Removes the emptied subfolder `name` of the innermost level, when the
  // folder that stands there is still the one that was emptied.
  bool RemoveEmpty(const std::string& name, Identity identity) {
    const int parent = stack_.back().fd.get();
    struct stat now {};
    if (::fstatat(parent, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) return true;
    } else if (IdentityOf(now) != identity) {
      errno = ESTALE;  // something else took its place
    } else if (::unlinkat(parent, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT) {
      return true;
    }
    Fail(name);
    return false;
  }

  const std::string& top_;
  const bool recursive_;
  const bool remove_;
  const std::set<Identity>& identities_;
  std::vector<Level> stack_;  // the top folder first, the innermost last
  dev_t device_ = 0;
};

// The protected folders as the file system knows them (links resolved), so
// that one reached under another name is still seen.
std::set<Identity> ProtectedIdentities(const ProtectedPaths& paths) {
  std::set<Identity> identities;
  for (const std::set<std::string>* group : {&paths.exact, &paths.subtrees}) {
    for (const std::string& path : *group) {
      struct stat info {};
      if (::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) identities.insert(IdentityOf(info));
    }
  }
  return identities;
}

}  // namespace

bool RemoveTree(const std::string& local, bool recursive, const ProtectedPaths& protected_paths) {
  UniqueFd top(::open(local.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY));
  struct stat info {};
  if (top.get() >= 0 && ::fstat(top.get(), &info) == 0) {
    const std::set<Identity> identities = ProtectedIdentities(protected_paths);
    if (identities.count(IdentityOf(info)) != 0) {
      DebugLog(4, "FileSystem skip RemoveDirectory:%s", local.c_str());
      return false;
    }
    // First only look, so that a tree holding a protected folder loses nothing.
    for (bool remove : {false, true}) {
      UniqueFd walked(::fcntl(top.get(), F_DUPFD_CLOEXEC, 0));
      if (walked.get() < 0) return false;
      TreeWalk walk(local, recursive, remove, identities);
      if (walk.Run(std::move(walked), info) != TreeWalk::Outcome::kDone) return false;
    }
  }
  // A path that opens as no folder (missing, a file) fails here with its reason.
  if (::rmdir(local.c_str()) != 0) {
    DebugLog(4, "FileSystem RemoveDirectory:'%s' failed, %s", local.c_str(), PrettyLastError().c_str());
    return false;
  }
  return true;
}

}  // namespace tool::filesystem_internal
