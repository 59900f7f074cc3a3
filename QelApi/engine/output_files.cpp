#include "engine/output_files.h"

#include <sys/stat.h>

#include <utility>

#include "commands/spelled_files.h"

namespace qel {

namespace {

long long nanoseconds(const timespec& time) {
  return static_cast<long long>(time.tv_sec) * 1000000000LL + static_cast<long long>(time.tv_nsec);
}

}  // namespace

OutputFiles::OutputFiles(std::string spelled) : spelled_(std::move(spelled)) {
  sequence_ = framePattern(fileBehindFFmpegPath(spelled_)).has_value();
  for (Entry& entry : lookNow()) before_.emplace(std::move(entry.spelled), entry.look);
}

std::vector<OutputFiles::Entry> OutputFiles::lookNow() const {
  std::vector<Entry> entries;
  if (spelled_.empty()) return entries;
  std::vector<std::string> names{spelled_};
  if (sequence_) {
    for (std::string& file : existingSequenceFiles(spelled_)) names.push_back(std::move(file));
  }
  for (std::string& name : names) {
    Entry entry;
    entry.onDisk = std::string(fileBehindFFmpegPath(name));
    entry.spelled = std::move(name);
    struct stat status {};
    entry.look.present = ::lstat(entry.onDisk.c_str(), &status) == 0;
    if (::stat(entry.onDisk.c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
      entry.look.isFile = true;
      entry.look.inode = status.st_ino;
      entry.look.device = status.st_dev;
      entry.look.size = status.st_size;
      entry.look.modifiedNs = nanoseconds(status.st_mtim);
      entry.look.changedNs = nanoseconds(status.st_ctim);
    }
    entries.push_back(std::move(entry));
  }
  return entries;
}

std::vector<std::string> OutputFiles::written() const {
  std::vector<std::string> files;
  for (Entry& entry : lookNow()) {
    if (!entry.look.isFile) continue;
    if (sequence_) {
      const auto earlier = before_.find(entry.spelled);
      if (earlier != before_.end() && earlier->second == entry.look) continue;
    }
    files.push_back(std::move(entry.spelled));
  }
  return files;
}

}  // namespace qel
