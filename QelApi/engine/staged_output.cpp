#include "engine/staged_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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
#include "common/unique_fd.h"

namespace qel {

namespace fs = std::filesystem;

namespace {

std::string systemMessage(int error) { return std::error_code(error, std::generic_category()).message(); }

std::string pathError(const fs::path& path, const std::string& reason) { return path.string() + ": " + reason; }

// What stands at a name the result is to take.
struct Occupant {
  bool exists = false;
  // The regular file there, whose access the result takes over. A link
  // gives nothing of its own: a new file takes its place.
  std::optional<struct stat> file;
};

// Why the process may not put a file at `target`, or nullopt; `occupant` says
// what stands there.
std::optional<std::string> replaceRefusal(const fs::path& target, Occupant& occupant) {
  occupant = {};
  struct stat status {};
  if (::lstat(target.c_str(), &status) != 0) {
    return errno == ENOENT ? std::nullopt : std::optional(pathError(target, systemMessage(errno)));
  }
  occupant.exists = true;
  if (S_ISDIR(status.st_mode)) return pathError(target, systemMessage(EISDIR));
  if (!S_ISREG(status.st_mode) && !S_ISLNK(status.st_mode)) {
    return pathError(target, "the output exists and is no regular file");
  }
  // ffmpeg opens the output for writing through a link too; a dangling link
  // it would create.
  if (::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0 && errno != ENOENT) {
    return pathError(target, systemMessage(errno));
  }
  if (S_ISREG(status.st_mode)) occupant.file = status;
  return std::nullopt;
}

// Gives the result `file` (in the private folder) the permission bits of the
// file it replaces, and its owner and group where the process may set them.
// Set-id and sticky bits are not carried over: on a file written anew they
// would grant what nobody granted it.
bool takeOverAccess(const fs::path& file, const struct stat& old, std::string& error) {
  const UniqueFd fd(::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (!fd) {
    error = pathError(file, systemMessage(errno));
    return false;
  }
  // The owner first: a change of owner may clear permission bits.
  if (::fchown(fd.get(), old.st_uid, old.st_gid) != 0) {
    (void)::fchown(fd.get(), static_cast<uid_t>(-1), old.st_gid);  // the group alone, where the process has it
  }
  if (::fchmod(fd.get(), old.st_mode & 0777) != 0) {
    error = pathError(file, systemMessage(errno));
    return false;
  }
  return true;
}

// One file of the result on its way into place.
struct Move {
  fs::path from;  // in the private folder
  fs::path to;    // the user's name
  Occupant replaced;
  enum class Done { No, Swapped, Created, Replaced } done = Done::No;
};

bool unsupported(int error) { return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP; }

// Puts the result at its name. An existing file is swapped with it, so the old
// file waits in the private folder until every file has moved; a file system
// that cannot swap replaces it (and then cannot put it back).
bool moveIntoPlace(Move& move, std::string& error) {
  const bool exists = move.replaced.exists;
  if (::renameat2(AT_FDCWD, move.from.c_str(), AT_FDCWD, move.to.c_str(), exists ? RENAME_EXCHANGE : RENAME_NOREPLACE) ==
      0) {
    move.done = exists ? Move::Done::Swapped : Move::Done::Created;
    return true;
  }
  if (!unsupported(errno) && !(exists && errno == ENOENT)) {
    error = pathError(move.to, systemMessage(errno));
    return false;
  }
  if (std::rename(move.from.c_str(), move.to.c_str()) != 0) {
    error = pathError(move.to, systemMessage(errno));
    return false;
  }
  move.done = Move::Done::Replaced;
  return true;
}

// Undoes moveIntoPlace as far as it can: the old file back at its name, a new
// one back into the private folder.
void putBack(const Move& move) {
  if (move.done == Move::Done::Swapped) {
    (void)::renameat2(AT_FDCWD, move.from.c_str(), AT_FDCWD, move.to.c_str(), RENAME_EXCHANGE);
  } else if (move.done == Move::Done::Created) {
    (void)std::rename(move.to.c_str(), move.from.c_str());
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
    if (!entry->is_regular_file(ec)) continue;
    if (file == name || (pattern && matchesFramePattern(*pattern, file))) {
      moves.push_back({folder_ / file, target_.parent_path() / file, {}});
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
    if (refusal || (move.replaced.file && !takeOverAccess(move.from, *move.replaced.file, error))) {
      if (refusal) error = *refusal;
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
