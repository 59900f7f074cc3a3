#include "QelDaemon/user_namespace.h"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "QelDaemon/whole_number.h"
#include "common/text_edit.h"

namespace qel {
namespace {

// The number of uids a namespace can map: every 32-bit value but (uid_t)-1,
// which is no user.
constexpr uint64_t kEveryUid = 4294967295ULL;

std::optional<std::string> ReadSmallFile(const char* path) {
  std::ifstream file(path);
  if (!file) return std::nullopt;
  std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  if (file.bad()) return std::nullopt;
  return text;
}

}  // namespace

bool MapsEveryUidOntoItself(std::string_view uidMap) {
  // [first, end) of each identity line.
  std::vector<std::pair<uint64_t, uint64_t>> ranges;
  for (const std::string& line : splitAt(uidMap, '\n')) {
    const std::vector<std::string> fields = splitWhitespace(line);
    if (fields.empty()) continue;
    uint32_t inside = 0;
    uint32_t outside = 0;
    uint32_t count = 0;
    if (fields.size() != 3 || !ParseWhole(fields[0], inside) || !ParseWhole(fields[1], outside) ||
        !ParseWhole(fields[2], count)) {
      return false;
    }
    if (inside != outside) return false;
    ranges.emplace_back(inside, uint64_t{inside} + count);
  }
  std::sort(ranges.begin(), ranges.end());
  uint64_t covered = 0;  // every uid below this maps onto itself
  for (const auto& [first, end] : ranges) {
    if (first > covered) return false;
    covered = std::max(covered, end);
  }
  return covered >= kEveryUid;
}

UserNamespace ReadUserNamespace() {
  const std::optional<std::string> map = ReadSmallFile("/proc/self/uid_map");
  uid_t overflow = kDefaultOverflowUid;
  if (std::optional<std::string> text = ReadSmallFile("/proc/sys/kernel/overflowuid")) {
    trimSpaces(*text);
    uid_t value = 0;
    if (ParseWhole(*text, value)) overflow = value;
  }
  return UserNamespace(map && MapsEveryUidOntoItself(*map), overflow);
}

}  // namespace qel
