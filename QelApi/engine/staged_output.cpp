#include "engine/staged_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <system_error>
#include <utility>
#include <vector>

#include "commands/spelled_files.h"
#include "commands/staged_name.h"
#include "common/command_line.h"
#include "common/command_quote.h"

namespace qel {

namespace fs = std::filesystem;

namespace {

std::string systemMessage(int error) { return std::error_code(error, std::generic_category()).message(); }

std::string pathError(const fs::path& path, const std::string& reason) { return path.string() + ": " + reason; }

// Off only in tests, which try the moves a file system without renameat2's
// swap gets.
std::atomic<bool> gRenameSwaps{true};

// What stands at a name the result is to take.
struct Occupant {
  bool exists = false;
  struct stat status {};  // when it exists
  // True for a regular file, whose access the result takes over. A link
  // gives nothing of its own: a new file takes its place.
  bool file = false;
};

// Why the process may not put a file at `target`, or nullopt; `occupant` says
// what stands there.
std::optional<std::string> replaceRefusal(const fs::path& target, Occupant& occupant) {
  occupant = {};
  if (::lstat(target.c_str(), &occupant.status) != 0) {
    return errno == ENOENT ? std::nullopt : std::optional(pathError(target, systemMessage(errno)));
  }
  occupant.exists = true;
  const mode_t type = occupant.status.st_mode;
  if (S_ISDIR(type)) return pathError(target, systemMessage(EISDIR));
  if (!S_ISREG(type) && !S_ISLNK(type)) return pathError(target, "the output exists and is no regular file");
  // ffmpeg opens the output for writing through a link too; a dangling link
  // it would create.
  if (::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0 && errno != ENOENT) {
    return pathError(target, systemMessage(errno));
  }
  occupant.file = S_ISREG(type);
  return std::nullopt;
}

constexpr const char* kAccessAcl = "system.posix_acl_access";

// The file's access ACL as the kernel stores it, nullopt when it has none.
std::optional<std::string> accessAcl(const fs::path& path) {
  const ssize_t size = ::lgetxattr(path.c_str(), kAccessAcl, nullptr, 0);
  if (size <= 0) return std::nullopt;
  std::string value(static_cast<std::size_t>(size), '\0');
  const ssize_t read = ::lgetxattr(path.c_str(), kAccessAcl, value.data(), value.size());
  if (read < 0) return std::nullopt;
  value.resize(static_cast<std::size_t>(read));
  return value;
}

// Gives the result `file` (a regular file in the private folder, which only
// this process may change) what the owner set on the file `old` it replaces:
// its permission bits and access ACL, and its owner and group as far as the
// process may set them. Set-id and sticky bits are not carried over: on a
// file written anew they would grant what nobody granted it.
std::optional<std::string> takeOverAccess(const fs::path& file, const fs::path& oldPath, const struct stat& old) {
  // The owner first: a change of owner may clear permission bits.
  const bool groupKept = ::lchown(file.c_str(), old.st_uid, old.st_gid) == 0 ||
                         ::lchown(file.c_str(), static_cast<uid_t>(-1), old.st_gid) == 0;
  mode_t mode = old.st_mode & 0777;
  // What the old group was granted is that group's: in another group the
  // result grants no more than it grants others.
  if (!groupKept) mode = (mode & ~mode_t{070}) | (mode & 070 & ((mode & 07) << 3));
  if (::chmod(file.c_str(), mode) != 0) return systemMessage(errno);
  // The old file's access list, or none (the private folder's default list
  // may have given the result one).
  const std::optional<std::string> acl = groupKept ? accessAcl(oldPath) : std::nullopt;
  if (acl) {
    if (::lsetxattr(file.c_str(), kAccessAcl, acl->data(), acl->size(), 0) != 0) return systemMessage(errno);
  } else if (::lremovexattr(file.c_str(), kAccessAcl) != 0 && errno != ENODATA && errno != ENOTSUP) {
    return systemMessage(errno);
  }
  return std::nullopt;
}

// One file of the result on its way into place.
struct Move {
  fs::path from;  // in the private folder
  fs::path to;    // the user's name
  Occupant replaced;
  enum class Done {
    No,
    Swapped,   // the old entry waits at `from`
    Created,   // nothing stood at `to`
    BackedUp,  // the old file waits at `backup`
    Replaced,  // the old file is gone: no way back
  } done = Done::No;
  fs::path backup;
};

bool unsupported(int error) { return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP; }

bool sameEntry(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Puts the result at its name so that putBack() can undo it. An existing
// entry is swapped with the result and waits in the private folder until
// every file has moved; the entry swapped out must be the one checked (a
// folder put at the name since would go with the private folder). A file
// system without the swap (NFS, many FUSE mounts) gets the old file linked
// under a second name in the private folder first; one without hard links
// either gets it replaced for good.
bool moveIntoPlace(Move& move, std::string& error) {
  const bool exists = move.replaced.exists;
  if (gRenameSwaps) {
    const unsigned flags = exists ? RENAME_EXCHANGE : RENAME_NOREPLACE;
    if (::renameat2(AT_FDCWD, move.from.c_str(), AT_FDCWD, move.to.c_str(), flags) == 0) {
      struct stat swapped {};
      if (exists && (::lstat(move.from.c_str(), &swapped) != 0 || !sameEntry(swapped, move.replaced.status))) {
        (void)::renameat2(AT_FDCWD, move.from.c_str(), AT_FDCWD, move.to.c_str(), RENAME_EXCHANGE);
        error = pathError(move.to, "changed while the result was being moved into place");
        return false;
      }
      move.done = exists ? Move::Done::Swapped : Move::Done::Created;
      return true;
    }
    if (!unsupported(errno)) {
      error = pathError(move.to, systemMessage(errno));
      return false;
    }
  }
  if (exists) {
    move.backup = move.from.parent_path() / (".qel-old-" + move.from.filename().string());
    if (::link(move.to.c_str(), move.backup.c_str()) != 0) move.backup.clear();
  }
  if (std::rename(move.from.c_str(), move.to.c_str()) != 0) {
    error = pathError(move.to, systemMessage(errno));
    if (!move.backup.empty()) ::unlink(move.backup.c_str());
    return false;
  }
  move.done = !exists ? Move::Done::Created : move.backup.empty() ? Move::Done::Replaced : Move::Done::BackedUp;
  return true;
}

// Undoes moveIntoPlace: the old entry back at its name, a new file back into
// the private folder.
void putBack(const Move& move) {
  switch (move.done) {
    case Move::Done::Swapped:
      (void)::renameat2(AT_FDCWD, move.from.c_str(), AT_FDCWD, move.to.c_str(), RENAME_EXCHANGE);
      break;
    case Move::Done::Created: (void)std::rename(move.to.c_str(), move.from.c_str()); break;
    case Move::Done::BackedUp: (void)std::rename(move.backup.c_str(), move.to.c_str()); break;
    case Move::Done::No:
    case Move::Done::Replaced: break;
  }
}

}  // namespace

StagedOutput::StagedOutput(std::string spelled)
    : spelled_(std::move(spelled)), target_(std::string(fileBehindFFmpegPath(spelled_))) {}

StagedOutput::~StagedOutput() { discard(); }

bool StagedOutput::prepare(std::string& error) {
  discard();
  const std::string name = target_.filename().string();
  if (name.empty() || name == "." || name == "..") {
    error = pathError(target_, systemMessage(EISDIR));
    return false;
  }
  // The files of a sequence are known once ffmpeg has written them; commit()
  // checks them. A plain name is checked before anything runs.
  Occupant occupant;
  if (std::optional<std::string> refusal = replaceRefusal(target_, occupant)) {
    error = *refusal;
    return false;
  }
  std::string folder = stagingFolderTemplate(spelled_);
  if (::mkdtemp(folder.data()) == nullptr) {
    // Writing in place instead would lose the promise that a failure leaves
    // the user's file as it was.
    const fs::path outputFolder = target_.has_parent_path() ? target_.parent_path() : fs::path(".");
    error = "the output's folder cannot be written: " + pathError(outputFolder, systemMessage(errno));
    return false;
  }
  folder_ = folder;
  staged_ = stagedOutputName(folder, spelled_);
  return true;
}

bool StagedOutput::commit(std::string& error) {
  if (folder_.empty()) return true;
  const std::string name = target_.filename().string();
  const std::optional<FramePattern> pattern = framePattern(name);
  std::vector<Move> moves;
  std::error_code ec;
  for (fs::directory_iterator entry(folder_, ec), end; !ec && entry != end; entry.increment(ec)) {
    const std::string file = entry->path().filename().string();
    // What ffmpeg wrote is a regular file; anything else stays where it is.
    if (!entry->is_regular_file(ec) || entry->is_symlink(ec)) continue;
    if (file == name || (pattern && matchesFramePattern(*pattern, file))) {
      moves.push_back({folder_ / file, target_.parent_path() / file, {}, Move::Done::No, {}});
    }
  }
  if (ec) {
    error = ec.message();
    discard();
    return false;
  }
  if (moves.empty()) {
    // ffmpeg may end without an error and without its file: an option that
    // asks for information only ("-version"), or a name it read otherwise
    // than the guard. The user's file is then as it was, and no result is.
    error = "output file was not written: " + spelled_;
    discard();
    return false;
  }
  // In number order, so that a failure leaves the same files moved and put
  // back whatever order the folder lists them in.
  std::sort(moves.begin(), moves.end(), [](const Move& a, const Move& b) {
    return std::pair(a.from.native().size(), a.from.native()) < std::pair(b.from.native().size(), b.from.native());
  });
  // Every target is checked, and every result given what it replaces, before
  // the first file moves: a sequence goes into place whole or not at all.
  for (Move& move : moves) {
    std::optional<std::string> refusal = replaceRefusal(move.to, move.replaced);
    if (!refusal && move.replaced.file) {
      if (std::optional<std::string> failure = takeOverAccess(move.from, move.to, move.replaced.status)) {
        refusal = pathError(move.to, "the result cannot take over the file's access: " + *failure);
      }
    }
    if (refusal) {
      error = *refusal;
      discard();
      return false;
    }
  }
  for (std::size_t moved = 0; moved < moves.size(); ++moved) {
    if (!moveIntoPlace(moves[moved], error)) {
      for (std::size_t i = moved; i-- > 0;) putBack(moves[i]);
      discard();
      return false;
    }
  }
  discard();  // with it the old files the results were swapped with
  return true;
}

void setRenameSwapsForTesting(bool enabled) { gRenameSwaps = enabled; }

void StagedOutput::discard() {
  if (folder_.empty()) return;
  std::error_code ec;
  fs::remove_all(folder_, ec);  // links inside are removed, never followed
  folder_.clear();
  staged_.clear();
}

std::optional<std::string> replaceOutputArgument(const std::string& commandLine, const std::string& output,
                                                 const std::string& replacement) {
  const std::optional<std::string> quotedOutput = quoteForCommand(output);
  const std::optional<std::string> quotedReplacement = quoteForCommand(replacement);
  if (!quotedOutput || !quotedReplacement) return std::nullopt;
  std::vector<std::string> expected = splitCommandLine(commandLine);
  const auto last = std::find(expected.rbegin(), expected.rend(), output);
  if (last == expected.rend()) return std::nullopt;
  *last = replacement;
  // The quoted run that is the output argument: replacing it must change that
  // one argument and nothing else, which the split of the result proves.
  const std::vector<QuotedRun> runs = quotedRunsOfCommandLine(commandLine);
  for (auto run = runs.rbegin(); run != runs.rend(); ++run) {
    if (commandLine.compare(run->begin, run->end - run->begin, *quotedOutput) != 0) continue;
    std::string candidate = commandLine.substr(0, run->begin) + *quotedReplacement + commandLine.substr(run->end);
    if (splitCommandLine(candidate) == expected) return candidate;
  }
  return std::nullopt;
}

}  // namespace qel
