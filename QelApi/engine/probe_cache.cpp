#include "engine/probe_cache.h"

#include <sys/stat.h>

namespace qel {

std::optional<ProbeCache::Identity> ProbeCache::identify(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
  Identity identity;
  identity.device = status.st_dev;
  identity.inode = status.st_ino;
  identity.size = status.st_size;
  identity.modifiedNs = static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1'000'000'000 + status.st_mtim.tv_nsec;
  return identity;
}

std::optional<std::string> ProbeCache::find(const std::string& path, bool formatOnly) {
  const std::optional<Identity> identity = identify(path);
  if (!identity) return std::nullopt;
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find({path, formatOnly});
  if (it == entries_.end() || !(it->second.identity == *identity)) return std::nullopt;
  return it->second.json;
}

void ProbeCache::store(const std::string& path, bool formatOnly, const std::string& json) {
  // Only regular files: a FIFO or a device gives a different answer each time.
  const std::optional<Identity> identity = identify(path);
  if (!identity) return;
  std::lock_guard<std::mutex> lock(mutex_);
  const std::pair<std::string, bool> key{path, formatOnly};
  if (entries_.count(key) == 0 && entries_.size() >= kMaxEntries) entries_.clear();
  entries_[key] = Entry{*identity, json};
}

}  // namespace qel
