// Where one command's output is written while ffmpeg works on it. ffmpeg runs
// with -y, so a file it is given as its output is truncated at once: a command
// that fails, is aborted or is cut short by a shutdown would leave a broken
// file where the user's was. So ffmpeg writes into a private folder made
// beside the output (mkdtemp, mode 0700, on the output's own file system),
// under the output's own file name, and only a command that succeeded has its
// file moved into place, by rename(2), which replaces what was there in one
// step. Anything else ffmpeg left in the private folder goes with it.
//
// One mechanism serves a plain name and an image sequence ("f%d.png"): for a
// sequence every file its frame-number field gives is moved, for a plain name
// the one file. The folder has a short name of its own ("qel-XXXXXX", see
// commands/staged_name.h): a name made from the output's would lengthen a
// long name past what ffmpeg's picture writer holds, and its cut would name a
// file beside the output. A command that succeeded without writing anything
// of its output has not done its work: its commit fails.
//
// An output that exists and is no regular file or symbolic link (a device, a
// folder, a pipe) is never replaced: such a command is refused. A symbolic
// link at the output's name is replaced by the result, so only the named path
// changes, never what the link led to.
//
// Replacing a file must not change more than ffmpeg writing it in place
// would:
// - the result takes the permission bits and access ACL of the regular file
//   it replaces, and its owner and group as far as the process may set them
//   (all of them as root; the group where the process belongs to it
//   otherwise, and where it does not, the group's bits no wider than
//   others'), so a private file stays private and stays its owner's; a new
//   file gets what ffmpeg would give it;
// - a file the process may not write (access(2) for writing as its
//   effective user, through a link too, as ffmpeg's own open would be
//   refused) is not replaced: prepare() refuses it, and commit() checks again;
// - the files of a sequence move into place together or not at all: every
//   target is checked before the first moves, and when a move fails
//   nonetheless the ones already moved are put back (an existing file is
//   swapped with the result, so its old self is still there to swap back;
//   where the file system cannot swap, it is kept under a second name).
//
// Thread safety: a value owned by the worker thread; it changes the file
// system under the output's folder only.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace qel {

class StagedOutput {
 public:
  // `spelled` is the output as the command names it (a "file:" prefix
  // allowed). Nothing happens on disk until prepare().
  explicit StagedOutput(std::string spelled);
  // Removes the private folder and what is left in it.
  ~StagedOutput();
  StagedOutput(const StagedOutput&) = delete;
  StagedOutput& operator=(const StagedOutput&) = delete;

  // Makes the private folder. False, with the reason in `error`, naming the
  // output or its folder, when the folder cannot be made or the output may
  // not be replaced.
  bool prepare(std::string& error);

  // The name ffmpeg is given instead of the output: "file:" and the path in
  // the private folder, so ffmpeg opens exactly that file. Valid after
  // prepare() succeeded.
  const std::string& stagedName() const { return staged_; }

  // Moves what ffmpeg wrote for the output into place, then removes the
  // private folder. False, with the reason in `error` and every file at the
  // output's names as it was, when a file could not be moved (the error names
  // it), or when there was none to move ("output file was not written:
  // <output>").
  bool commit(std::string& error);

  // Removes the private folder and everything in it; the output's own path is
  // left as it was. Called again it does nothing.
  void discard();

 private:
  std::string spelled_;
  std::filesystem::path target_;  // the output's path on disk
  std::filesystem::path folder_;  // the private folder, empty when there is none
  std::string staged_;
};

// For tests: whether commit() moves files with renameat2's swap (the
// default), or as it does on a file system that has none.
void setRenameSwapsForTesting(bool enabled);

// The command text with its output argument, the last whole argument that is
// exactly `output`, replaced by `replacement`. Nullopt when the text has no
// such argument or the replacement cannot be quoted: such a command must not
// run, or it would write its output in place.
std::optional<std::string> replaceOutputArgument(const std::string& commandLine, const std::string& output,
                                                 const std::string& replacement);

}  // namespace qel
