#include "QelDaemon/refusal_log.h"

#include <utility>

#include <fmt/format.h>

namespace qel {
namespace {

constexpr const char* kPrefix = "WebSocket upgrade refused: ";

}  // namespace

RefusalLog::RefusalLog(Writer writer, Now now) : writer_(std::move(writer)), now_(std::move(now)) {}

bool RefusalLog::refused(std::optional<uid_t> user, const std::string& reason) {
  std::lock_guard lock(mutex_);
  const Clock::time_point now = now_();
  Key key = user ? Key{*user} : kUnknownUser;
  auto account = accounts_.find(key);
  if (account == accounts_.end() && user && userAccounts() >= kMaxUsers) {
    forgetQuiet(now);
    if (userAccounts() >= kMaxUsers) {
      key = kOtherUsers;
      account = accounts_.find(key);
    }
  }
  if (account == accounts_.end()) {
    writer_(kPrefix + reason);
    accounts_.emplace(key, Account{now, 0, {}});
    return false;
  }
  Account& held = account->second;
  if (now - held.lastLine >= kInterval) {
    // One line for this refusal and those counted before it; after a quiet
    // minute it is written as a first one.
    if (held.unwritten == 0) {
      writer_(kPrefix + reason);
    } else {
      writeCount(key, held, held.unwritten + 1, reason, now);
    }
    held = Account{now, 0, {}};
    return false;
  }
  held.latestReason = reason;
  return ++held.unwritten == 1;
}

void RefusalLog::flushDue() {
  std::lock_guard lock(mutex_);
  const Clock::time_point now = now_();
  for (auto& [key, account] : accounts_) {
    if (account.unwritten == 0 || now - account.lastLine < kInterval) continue;
    writeCount(key, account, account.unwritten, account.latestReason, now);
    account = Account{now, 0, {}};
  }
  forgetQuiet(now);
}

std::optional<RefusalLog::Clock::time_point> RefusalLog::nextDue() const {
  std::lock_guard lock(mutex_);
  std::optional<Clock::time_point> due;
  for (const auto& [key, account] : accounts_) {
    if (account.unwritten == 0) continue;
    const Clock::time_point at = account.lastLine + kInterval;
    if (!due || at < *due) due = at;
  }
  return due;
}

void RefusalLog::flushAll() {
  std::lock_guard lock(mutex_);
  const Clock::time_point now = now_();
  for (auto& [key, account] : accounts_) {
    if (account.unwritten == 0) continue;
    writeCount(key, account, account.unwritten, account.latestReason, now);
    account = Account{now, 0, {}};
  }
}

size_t RefusalLog::accounts() const {
  std::lock_guard lock(mutex_);
  return accounts_.size();
}

void RefusalLog::writeCount(Key key, const Account& account, uint64_t count, const std::string& reason,
                            Clock::time_point now) const {
  std::string whose;
  if (key == kUnknownUser) {
    whose = "connections whose user is unknown";
  } else if (key == kOtherUsers) {
    whose = "connections of other users";
  } else {
    whose = fmt::format("connections of user {}", key);
  }
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now - account.lastLine).count();
  writer_(fmt::format("{}{} more {} for {} in the last {} s (the latest: {})", kPrefix, count,
                      count == 1 ? "time" : "times", whose, seconds, reason));
}

void RefusalLog::forgetQuiet(Clock::time_point now) {
  std::erase_if(accounts_, [now](const auto& entry) {
    return entry.second.unwritten == 0 && now - entry.second.lastLine >= kInterval;
  });
}

size_t RefusalLog::userAccounts() const {
  // The shared accounts are the only negative keys, and sort first.
  size_t shared = 0;
  for (auto it = accounts_.begin(); it != accounts_.end() && it->first < 0; ++it) ++shared;
  return accounts_.size() - shared;
}

}  // namespace qel
