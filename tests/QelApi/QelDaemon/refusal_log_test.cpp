// The log lines of refused upgrades: the first of each user in full, then at
// most one line per user and minute with the count, on a clock the test moves.
#include "QelDaemon/refusal_log.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace qel::test {
namespace {

using std::chrono::seconds;

// A RefusalLog on a clock that moves only when the test says, keeping the
// lines it writes.
class RefusalLogTest : public ::testing::Test {
 protected:
  // The lines written since the last call.
  std::vector<std::string> take() {
    std::vector<std::string> taken;
    taken.swap(lines_);
    return taken;
  }

  RefusalLog::Clock::time_point now_{std::chrono::hours(1000)};
  std::vector<std::string> lines_;
  RefusalLog log_{[this](const std::string& line) { lines_.push_back(line); }, [this] { return now_; }};
};

// "WebSocket upgrade refused: <what>"
std::string Line(const std::string& what) { return "WebSocket upgrade refused: " + what; }

TEST_F(RefusalLogTest, FirstRefusalOfEachUserInFullThenOneCountAMinute) {
  const std::string other = "the connection belongs to user 1234; only user 1000, who runs the daemon, is served";
  const std::string page = "Origin https://evil.example is not this machine's";
  const std::string closed = "the user of the connection is unknown: the client has closed its end of the connection";
  const std::string countOther =
      Line("5001 more times for connections of user 1234 in the last 60 s (the latest: " + other + ")");
  const std::string countPage =
      Line("2 more times for connections of user 1000 in the last 61 s (the latest: " + page + ")");
  const std::string countClosed =
      Line("301 more times for connections whose user is unknown in the last 123 s (the latest: " + closed + ")");
  struct Step {
    int at;  // seconds from the start
    std::optional<uid_t> user;
    std::string reason;
    int times;
    std::vector<std::string> lines;  // written by these refusals
  } const steps[] = {
      {0, 1234, other, 1, {Line(other)}},
      {0, 1234, other, 4999, {}},
      {1, 1000, page, 1, {Line(page)}},  // each user has its own first line
      {2, std::nullopt, closed, 1, {Line(closed)}},
      {3, std::nullopt, closed, 300, {}},
      {59, 1234, other, 1, {}},  // still within the minute of its first line
      {60, 1234, other, 1, {countOther}},
      {61, 1000, page, 1, {Line(page)}},  // nothing counted: a first line again
      {62, 1000, page, 1, {}},
      {100, 1234, other, 1, {}},  // within the minute of its count
      {122, 1000, page, 1, {countPage}},
      {125, std::nullopt, closed, 1, {countClosed}},
  };
  for (const Step& step : steps) {
    now_ = RefusalLog::Clock::time_point(std::chrono::hours(1000)) + seconds(step.at);
    for (int i = 0; i < step.times; ++i) log_.refused(step.user, step.reason);
    EXPECT_EQ(take(), step.lines) << "at " << step.at << " s, user "
                                  << (step.user ? std::to_string(*step.user) : "unknown");
  }
}

// A count left by a burst that nothing follows is written once its minute
// has passed, and whatever is left when the server stops, then.
TEST_F(RefusalLogTest, CountsNothingFollowsAreWrittenWhenDueAndAtTheEnd) {
  const auto start = now_;
  EXPECT_FALSE(log_.refused(1234, "one"));
  EXPECT_FALSE(log_.nextDue().has_value()) << "nothing is owed after a first line";
  EXPECT_TRUE(log_.refused(1234, "two"));
  EXPECT_FALSE(log_.refused(1234, "three")) << "the count was owed already";
  now_ += seconds(30);
  EXPECT_FALSE(log_.refused(std::nullopt, "unknown one"));
  EXPECT_TRUE(log_.refused(std::nullopt, "unknown two"));
  take();
  ASSERT_TRUE(log_.nextDue().has_value());
  EXPECT_EQ(*log_.nextDue(), start + RefusalLog::kInterval);

  now_ = start + seconds(59);
  log_.flushDue();
  EXPECT_TRUE(take().empty()) << "a count written before its minute";
  now_ = start + seconds(60);
  log_.flushDue();
  EXPECT_EQ(take(), std::vector<std::string>{"WebSocket upgrade refused: 2 more times for connections of user 1234 in "
                                             "the last 60 s (the latest: three)"});
  ASSERT_TRUE(log_.nextDue().has_value());
  EXPECT_EQ(*log_.nextDue(), start + seconds(30) + RefusalLog::kInterval);

  // A refusal just after a written count is counted for the next minute.
  now_ = start + seconds(61);
  EXPECT_TRUE(log_.refused(1234, "four"));
  now_ = start + seconds(70);
  log_.flushAll();
  const std::vector<std::string> atEnd = take();
  EXPECT_EQ(atEnd, (std::vector<std::string>{
                       "WebSocket upgrade refused: 1 more time for connections whose user is unknown in the last 40 s "
                       "(the latest: unknown two)",
                       "WebSocket upgrade refused: 1 more time for connections of user 1234 in the last 10 s (the "
                       "latest: four)",
                   }));
  EXPECT_FALSE(log_.nextDue().has_value());
  log_.flushAll();
  EXPECT_TRUE(take().empty()) << "a count written twice";
}

// Users beyond the bound share one account, so that neither the lines nor
// the memory grow with the number of users; accounts of users who went quiet
// are let go.
TEST_F(RefusalLogTest, ManyUsersShareOneAccountBeyondTheBound) {
  constexpr uid_t kUsers = 10000;
  for (int round = 0; round < 3; ++round) {
    for (uid_t user = 0; user < kUsers; ++user) {
      log_.refused(100000 + user, "the connection belongs to user " + std::to_string(100000 + user));
    }
    EXPECT_LE(log_.accounts(), RefusalLog::kMaxUsers + 2);
    now_ += seconds(1);
  }
  const std::vector<std::string> firstLines = take();
  ASSERT_EQ(firstLines.size(), RefusalLog::kMaxUsers + 1);
  EXPECT_EQ(firstLines.back(), "WebSocket upgrade refused: the connection belongs to user " +
                                   std::to_string(100000 + RefusalLog::kMaxUsers));

  now_ += RefusalLog::kInterval;
  log_.flushDue();
  const std::vector<std::string> counts = take();
  ASSERT_EQ(counts.size(), RefusalLog::kMaxUsers + 1);
  // Of 30000 refusals, the 32 first lines and the 64 later ones of the users
  // counted one by one leave the rest to the shared account.
  EXPECT_EQ(counts.front(), "WebSocket upgrade refused: " + std::to_string(3 * kUsers - 3 * RefusalLog::kMaxUsers - 1) +
                                " more times for connections of other users in the last 63 s (the latest: the "
                                "connection belongs to user " +
                                std::to_string(100000 + kUsers - 1) + ")");

  // A minute later, with nothing new, every account is let go.
  now_ += RefusalLog::kInterval;
  log_.flushDue();
  EXPECT_TRUE(take().empty());
  EXPECT_EQ(log_.accounts(), 0u);
}

}  // namespace
}  // namespace qel::test
