#include "platform/core/faults.h"

#include <map>
#include <mutex>
#include <utility>

namespace platform {
namespace {

struct Armed {
  Fault fault;
  int64_t seen = 0;  // matching calls so far
};

struct Registry {
  std::mutex mutex;
  std::map<std::string, std::vector<Armed>, std::less<>> faults;
  std::map<std::string, uint64_t, std::less<>> counts;
  std::vector<std::string> violations;
};

Registry& registry() {
  static Registry instance;
  return instance;
}

}  // namespace

void fail(std::string_view call, const Fault& fault) {
  std::lock_guard lock(registry().mutex);
  auto it = registry().faults.find(call);
  if (it == registry().faults.end()) it = registry().faults.emplace(std::string(call), std::vector<Armed>{}).first;
  it->second.push_back(Armed{fault, 0});
}

std::optional<uint32_t> injectedFault(std::string_view call, int64_t target) {
  std::lock_guard lock(registry().mutex);
  auto count = registry().counts.find(call);
  if (count == registry().counts.end()) count = registry().counts.emplace(std::string(call), 0).first;
  ++count->second;

  auto it = registry().faults.find(call);
  if (it == registry().faults.end()) return std::nullopt;
  auto& armed = it->second;
  for (auto f = armed.begin(); f != armed.end(); ++f) {
    if (f->fault.target != kAnyTarget && f->fault.target != target) continue;
    int64_t index = f->seen++;
    if (index < f->fault.from_call) continue;
    uint32_t code = f->fault.code;
    if (f->fault.times != kForever && index + 1 >= f->fault.from_call + f->fault.times) armed.erase(f);
    return code;
  }
  return std::nullopt;
}

uint64_t callCount(std::string_view call) {
  std::lock_guard lock(registry().mutex);
  auto it = registry().counts.find(call);
  return it == registry().counts.end() ? 0 : it->second;
}

void resetFaults() {
  std::lock_guard lock(registry().mutex);
  registry().faults.clear();
  registry().counts.clear();
}

void reportViolation(std::string text) {
  std::lock_guard lock(registry().mutex);
  registry().violations.push_back(std::move(text));
}

std::vector<std::string> violations() {
  std::lock_guard lock(registry().mutex);
  return registry().violations;
}

void clearViolations() {
  std::lock_guard lock(registry().mutex);
  registry().violations.clear();
}

}  // namespace platform
