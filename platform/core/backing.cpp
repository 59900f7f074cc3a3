#include "platform/core/backing.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

namespace platform {
namespace {

std::mutex& forcedMutex() {
  static std::mutex mutex;
  return mutex;
}

std::map<std::string, Backing, std::less<>>& forcedTable() {
  static std::map<std::string, Backing, std::less<>> table;
  return table;
}

}  // namespace

void forceBacking(std::string_view layer, Backing backing) {
  std::lock_guard lock(forcedMutex());
  forcedTable().insert_or_assign(std::string(layer), backing);
}

void clearForcedBacking(std::string_view layer) {
  std::lock_guard lock(forcedMutex());
  auto it = forcedTable().find(layer);
  if (it != forcedTable().end()) forcedTable().erase(it);
}

std::optional<Backing> forcedBacking(std::string_view layer) {
  {
    std::lock_guard lock(forcedMutex());
    auto it = forcedTable().find(layer);
    if (it != forcedTable().end()) return it->second;
  }
  const char* all = std::getenv("QEL_BACKING");
  if (all != nullptr && std::strcmp(all, "sim") == 0) return Backing::Simulated;
  return std::nullopt;
}

Backing chooseBacking(std::string_view layer, const std::function<bool()>& realAvailable) {
  if (auto forced = forcedBacking(layer)) return *forced;
  return realAvailable && realAvailable() ? Backing::Real : Backing::Simulated;
}

const char* backingName(Backing backing) { return backing == Backing::Real ? "real" : "sim"; }

}  // namespace platform
