// The files behind one command's output name, looked at before and after the
// command: which of them the command wrote (the task's "outputs" list only
// files that exist). A plain name is one file ("file:" and the other wrappers dropped);
// an image-sequence name ("p%d.png") is every file its numbers give, and the
// name itself.
//
// For a sequence, "outputs" lists the files the command wrote (new ones, and
// existing ones it changed), in number order; the pattern itself only when a
// file of that very name was written (a container that takes the name as it
// is). Each file is spelled as the output was: its protocol prefix and folder
// kept.
//
// Thread safety: a value owned by the worker thread; it reads the file system.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace qel {

class OutputFiles {
 public:
  // Looks at the files before the command runs.
  explicit OutputFiles(std::string spelled);

  // The files the command wrote that exist now: the plain name when a file is
  // there; for a sequence, the files that are new or changed since the look
  // before.
  std::vector<std::string> written() const;

 private:
  // What was at one name's path.
  struct Look {
    bool present = false;  // anything at the path, a dangling link included
    bool isFile = false;   // a regular file behind it; the rest tells which
    ino_t inode = 0;
    dev_t device = 0;
    off_t size = 0;
    long long modifiedNs = 0;
    long long changedNs = 0;

    bool operator==(const Look&) const = default;
  };
  struct Entry {
    std::string spelled;
    std::string onDisk;
    Look look;
  };

  // The name itself, then (for a sequence) its files in number order.
  std::vector<Entry> lookNow() const;

  std::string spelled_;
  bool sequence_ = false;
  std::map<std::string, Look> before_;  // by spelled name
};

}  // namespace qel
