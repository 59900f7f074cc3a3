#include "QelDaemon/thumbnail_ledger.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <filesystem>
#include <string_view>
#include <system_error>

#include <fmt/format.h>

#include "QelDaemon/daemon_settings.h"
#include "QelDaemon/media_props.h"
#include "QelDaemon/replies.h"

namespace qel {
namespace fs = std::filesystem;
namespace {

constexpr std::string_view kRecordSuffix = ".thumbnails";

// "<six letters or digits>.thumbnails": the id, or "" for any other name (the
// passing names of records being made among them).
std::string IdOfRecordName(std::string_view name) {
  constexpr size_t kId = static_cast<size_t>(kInstanceIdLength);
  if (name.size() != kId + kRecordSuffix.size() || name.substr(kId) != kRecordSuffix) return {};
  for (size_t i = 0; i < kId; ++i) {
    if (!std::isalnum(static_cast<unsigned char>(name[i]))) return {};
  }
  return std::string(name.substr(0, kId));
}

bool WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    text.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

std::string ReadAll(int fd) {
  std::string text;
  char buffer[4096];
  while (true) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

// Removes the thumbnails the record at `path` names, and the record, when its
// run has ended. Returns the number of thumbnails removed.
int CleanEndedRecord(const std::string& folder, const std::string& path, const std::string& id) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat opened {};
  if (!fd || ::fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode) || opened.st_uid != ::geteuid()) return 0;
  // Held: its run is alive.
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return 0;
  // Another cleaner may have finished this record and a new run made one of
  // the same name meanwhile: only the file that was locked counts.
  struct stat now {};
  if (::lstat(path.c_str(), &now) != 0 || now.st_ino != opened.st_ino || now.st_dev != opened.st_dev) return 0;

  int removed = 0;
  const std::string text = ReadAll(fd.get());
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string_view name(text.data() + start, end - start);
    start = end + 1;
    if (!IsThumbnailFileName(name) || name.substr(0, id.size()) != id) continue;
    const std::string file = JoinPath(folder, std::string(name));
    std::error_code ec;
    if (!fs::is_regular_file(fs::symlink_status(file, ec))) continue;
    if (fs::remove(file, ec)) ++removed;
  }
  ::unlink(path.c_str());
  return removed;
}

}  // namespace

std::string ThumbnailRecordName(const std::string& instanceId) { return instanceId + std::string(kRecordSuffix); }

ThumbnailLedger::Claim ThumbnailLedger::claim(const std::string& folder, const std::string& instanceId) {
  const std::string path = JoinPath(folder, ThumbnailRecordName(instanceId));
  std::string passing = path + ".XXXXXX";
  UniqueFd fd(::mkostemp(passing.data(), O_APPEND | O_CLOEXEC));
  if (!fd) return Claim::Failed;
  Claim result = Claim::Failed;
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) {
    if (::link(passing.c_str(), path.c_str()) == 0) {
      result = Claim::Claimed;
    } else if (errno == EEXIST) {
      result = Claim::IdTaken;
    }
  }
  ::unlink(passing.c_str());
  if (result != Claim::Claimed) return result;
  std::lock_guard lock(mutex_);
  fd_ = std::move(fd);
  return result;
}

bool ThumbnailLedger::claimed() const {
  std::lock_guard lock(mutex_);
  return fd_.valid();
}

bool ThumbnailLedger::record(const std::string& fileName) {
  std::lock_guard lock(mutex_);
  return fd_.valid() && WriteAll(fd_.get(), fileName + "\n");
}

int RemoveEndedRunsThumbnails(const std::string& folder, const std::string& ownInstanceId) {
  std::error_code ec;
  fs::directory_iterator it(folder, ec);
  if (ec) {
    DaemonLog('w', fmt::format("cleanthumbnail: cannot list {}: {}", folder, ec.message()));
    return 0;
  }
  int removed = 0;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    const std::string id = IdOfRecordName(it->path().filename().string());
    if (id.empty() || id == ownInstanceId) continue;
    removed += CleanEndedRecord(folder, it->path().string(), id);
  }
  return removed;
}

}  // namespace qel
