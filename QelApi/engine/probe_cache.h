// ffprobe answers remembered for the life of an engine. A file is probed once
// for as long as it stays the same file with the same size and modification
// time: the "process" step, the worker's duration look-up and "getmediaprops"
// share the answers. Full probes (-show_format -show_streams) and format-only
// ones are kept apart, since callers get exactly what they asked for; the
// worker reads a duration from either.
//
// Thread safety: every member takes the cache's own mutex; callers may hold
// the engine mutex or not.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

namespace qel {

class ProbeCache {
 public:
  // The remembered JSON of that kind for `path` when the file is unchanged
  // since it was probed.
  std::optional<std::string> find(const std::string& path, bool formatOnly);
  // Remembers a successful probe of `path` as the file stands now.
  void store(const std::string& path, bool formatOnly, const std::string& json);

 private:
  struct Identity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    std::int64_t modifiedNs = 0;
    bool operator==(const Identity&) const = default;
  };
  struct Entry {
    Identity identity;
    std::string json;
  };
  static std::optional<Identity> identify(const std::string& path);

  // Beyond this many files the cache starts afresh: a bound, not a policy.
  static constexpr std::size_t kMaxEntries = 512;

  std::mutex mutex_;
  std::map<std::pair<std::string, bool>, Entry> entries_;  // (path, format only)
};

}  // namespace qel
