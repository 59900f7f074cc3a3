// The log lines of refused WebSocket upgrades, bounded per user.
//
// Anyone on the machine can make the daemon refuse upgrades (another user's
// client, a web page's Origin), thousands a second. The log keeps only a few
// megabytes, and a line for each refusal would push everything before them
// out of it. So the first refusal of each user is written in full
// ("WebSocket upgrade refused: <reason>"); the ones that follow within a
// minute of a user's last line are only counted, and at most one line per
// user and minute says how many there were and why the latest was refused.
// A count is written with the user's next refusal after that minute, or by
// flushDue once the minute has passed, or by flushAll when the server stops,
// so none is lost. Connections whose user is unknown share one such account.
//
// Memory is bounded too: at most kMaxUsers users are counted one by one;
// while that many have had a line within the minute, refusals of further
// users share one more account ("other users"). A user whose last line is a
// minute old and who has nothing left to count is forgotten: its next refusal
// is written in full, as a first one would be, which keeps to the one line a
// minute.
//
// Thread safety: every method may be called from any thread. The writer is
// called under the log's lock, so lines come out in the order counted; it
// must not call back into the log.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace qel {

class RefusalLog {
 public:
  using Clock = std::chrono::steady_clock;
  // The time now (tests move it by hand).
  using Now = std::function<Clock::time_point()>;
  // Writes one finished line to the log.
  using Writer = std::function<void(const std::string& line)>;

  // At most one line per user in this time, after the first.
  static constexpr std::chrono::seconds kInterval{60};
  // Users counted one by one.
  static constexpr size_t kMaxUsers = 32;

  explicit RefusalLog(Writer writer, Now now = &Clock::now);
  RefusalLog(const RefusalLog&) = delete;
  RefusalLog& operator=(const RefusalLog&) = delete;

  // One refused upgrade of a connection of `user` (empty: unknown) for
  // `reason`. True when it starts a count left unwritten: flushDue must run
  // at nextDue(), which may be earlier than before. A refusal added to a
  // count already owed gives false.
  bool refused(std::optional<uid_t> user, const std::string& reason);

  // Writes the count of each user whose last line is at least kInterval old
  // and who has refusals not yet written, and forgets users with nothing left
  // to write.
  void flushDue();
  // When flushDue has something to write; empty when nothing is counted.
  std::optional<Clock::time_point> nextDue() const;
  // Writes every count not yet written (the server stops).
  void flushAll();

  // Accounts held (at most kMaxUsers + 2).
  size_t accounts() const;

 private:
  // A uid, or one of the shared accounts below (above every uid).
  using Key = int64_t;
  static constexpr Key kUnknownUser = -1;
  static constexpr Key kOtherUsers = -2;

  struct Account {
    Clock::time_point lastLine;  // when the last line about it was written
    uint64_t unwritten = 0;      // refusals since then
    std::string latestReason;    // of the last of them
  };

  // Writes how many were refused since the last line, the latest for `reason`.
  void writeCount(Key key, const Account& account, uint64_t count, const std::string& reason,
                  Clock::time_point now) const;
  void forgetQuiet(Clock::time_point now);
  size_t userAccounts() const;

  const Writer writer_;
  const Now now_;
  mutable std::mutex mutex_;
  std::map<Key, Account> accounts_;
};

}  // namespace qel
