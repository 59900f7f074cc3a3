// Who may open a WebSocket connection: only programs on this machine, run by
// the user who runs the daemon. A web page (directly, or through a DNS-rebound
// host name) is refused, and so is another login of the machine; native
// clients of the daemon's own user that send no Origin are served.
#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <filesystem>
#include <string_view>

#include "QelDaemon/upgrade_guard.h"
#include "QelApi/QelDaemon/daemon_fixture.h"
#include "QelApi/QelDaemon/foreign_user.h"

namespace qel::test {
namespace {

TEST(UpgradeGuardTest, LoopbackHostNames) {
  struct Case {
    std::string_view host;
    bool loopback;
  } cases[] = {
      {"localhost", true},
      {"LocalHost:8800", true},
      {"127.0.0.1", true},
      {"127.0.0.1:8800", true},
      {"127.255.3.4:1", true},
      {"[::1]", true},
      {"[::1]:8800", true},
      {"[0:0:0:0:0:0:0:1]:80", true},
      {"[::ffff:127.0.0.1]:8800", true},
      {"evil.example:8800", false},  // DNS rebinding: the page's own name
      {"localhost.evil.example", false},
      {"127.0.0.1.evil.example", false},
      {"128.0.0.1", false},
      {"10.0.0.5:8800", false},
      {"0.0.0.0:8800", false},
      {"[::2]:8800", false},
      {"[::1", false},
      {"::1", false},  // an IPv6 literal needs brackets
      {"localhost:", false},
      {"localhost:99999", false},
      {"localhost:80x", false},
      {"localhost:8800:1", false},
      {"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsLoopbackHost(c.host), c.loopback) << c.host;
}

TEST(UpgradeGuardTest, OriginsOfWebPagesOnOtherHostsAreRefused) {
  struct Case {
    std::string_view origin;
    bool accepted;
  } cases[] = {
      {"http://localhost:3000", true},  // a front end served from this machine
      {"https://127.0.0.1", true},
      {"HTTP://[::1]:8080", true},
      {"file://", true},  // installed software, not a visited page
      {"app://front-end", true},
      {"chrome-extension://abcdef", true},
      {"http://evil.example", false},
      {"https://evil.example:8800", false},
      {"http://localhost.evil.example", false},
      {"http://localhost@evil.example", false},
      {"http://evil.example@localhost", false},  // user information is never an origin
      {"null", false},                           // sandboxed frame or data: page
      {"NULL", false},
      {"http:evil.example", false},
      {"garbage", false},
      {"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsAcceptableOrigin(c.origin), c.accepted) << c.origin;
}

using SecurityE2eTest = DaemonFixture;

TEST_F(SecurityE2eTest, UpgradesFromWebPagesAreRefusedAndNativeClientsServed) {
  TestClient keeper;  // an accepted upgrade that closes again must not end the daemon
  connect(keeper);
  const std::string port = std::to_string(port_);
  using Headers = std::vector<std::pair<std::string, std::string>>;
  struct Case {
    const char* name;
    Headers headers;
    int status;
  } cases[] = {
      {"native client, no Origin", {{"Host", "127.0.0.1:" + port}}, 101},
      {"localhost", {{"Host", "localhost:" + port}}, 101},
      {"IPv6 loopback", {{"Host", "[::1]:" + port}}, 101},
      {"local front end page", {{"Host", "localhost:" + port}, {"Origin", "http://localhost:3000"}}, 101},
      {"file page", {{"Host", "127.0.0.1:" + port}, {"Origin", "file://"}}, 101},
      {"DNS rebinding", {{"Host", "evil.example:" + port}}, 403},
      {"rebinding with a loopback Origin", {{"Host", "evil.example:" + port}, {"Origin", "http://localhost"}}, 403},
      {"web page", {{"Host", "127.0.0.1:" + port}, {"Origin", "https://evil.example"}}, 403},
      {"sandboxed frame", {{"Host", "localhost:" + port}, {"Origin", "null"}}, 403},
      {"no Host", {}, 403},
      {"two Hosts", {{"Host", "127.0.0.1:" + port}, {"Host", "evil.example"}}, 403},
  };
  for (const Case& c : cases) EXPECT_EQ(upgradeStatus(port_, c.headers), c.status) << c.name;

  // A refused page never became a connection; the keeper is still served.
  EXPECT_EQ(keeper.request("{\"sid\":1,\"op\":\"ping\"}").value_or(""), "{\"sid\":1,\"pong\":\"ok\"}");
  EXPECT_FALSE(hasExited(std::chrono::milliseconds(0)));

  // A real client from a local front-end page talks to the daemon as usual.
  TestClient page;
  std::string error;
  ASSERT_TRUE(page.connect(port_, "localhost:" + port, "http://localhost:3000", error)) << error;
  EXPECT_EQ(page.request("{\"sid\":2,\"op\":\"ping\"}").value_or(""), "{\"sid\":2,\"pong\":\"ok\"}");
  page.close();
  TestClient foreign;
  EXPECT_FALSE(foreign.connect(port_, "127.0.0.1:" + port, "https://evil.example", error));
  keeper.close();
}

std::string StartCopy(int sid, uint64_t taskId, const std::string& input, const std::string& output) {
  return "{\"sid\":" + std::to_string(sid) + ",\"op\":\"starttask\",\"taskId\":" + std::to_string(taskId) +
         ",\"operations\":[{\"input\":[{\"type\":1,\"value\":\"" + input + "\"}],\"transform\":\"-c copy\"," +
         "\"output\":[{\"type\":1,\"value\":\"" + output + "\"}]}]}";
}

// The refused upgrades that the daemon's log tells of: one for a line that
// gives a refusal's reason, N for a line that counts "N more".
struct Refusals {
  size_t lines = 0;
  uint64_t refusals = 0;
};
Refusals RefusalsInLog(const std::string& log) {
  const std::string prefix = "WebSocket upgrade refused: ";
  Refusals found;
  for (size_t at = 0; (at = log.find(prefix, at)) != std::string::npos;) {
    at += prefix.size();
    ++found.lines;
    uint64_t count = 0;
    const auto [end, error] = std::from_chars(log.data() + at, log.data() + log.size(), count);
    const std::string_view more = " more time";
    const bool counted = error == std::errc() && std::string_view(end, log.data() + log.size() - end).starts_with(more);
    found.refusals += counted ? count : 1;
  }
  return found;
}

// The lines of the daemon's log that refused an upgrade of `uid`.
size_t RefusalsOfUser(const std::string& log, uid_t uid) {
  const std::string user = "belongs to user " + std::to_string(uid) + ";";
  size_t count = 0;
  for (size_t at = 0; (at = log.find("WebSocket upgrade refused: ", at)) != std::string::npos; ++at) {
    const size_t end = log.find('\n', at);
    if (log.substr(at, end - at).find(user) != std::string::npos) ++count;
  }
  return count;
}

TEST_F(SecurityE2eTest, AnotherUsersClientIsRefusedAndNothingItAsksIsDone) {
  if (!CanActAsAnotherUser()) GTEST_SKIP() << ForeignUserSkipReason();
  namespace fs = std::filesystem;
  const std::string clip = dir_.file("in.mp4");
  makeClip(clip);
  const std::string stolen = dir_.file("stolen.mp4");
  // What the other user asks.
  const std::string asks =
      TextFrames({StartCopy(1, 501, clip, stolen), "{\"sid\":2,\"op\":\"getmediaprops\",\"path\":\"" + clip + "\"}",
                  "{\"sid\":3,\"op\":\"quit\"}"});
  const std::string logFile = settings_.logFolder + "/QelApi.log";

  // Before any client of the daemon's user came: refused, and it neither
  // ends the daemon when it closes nor counts as a client. A client asks
  // once its upgrade is accepted; an attacker does not wait for the answer.
  struct Sending {
    const char* name;
    std::string request;
    std::string afterUpgrade;
  } const sendings[] = {
      {"after the upgrade", UpgradeRequest(port_), asks},
      {"with the upgrade request", UpgradeRequest(port_) + asks, ""},
  };
  // A count of refusals may be written each minute after the first line:
  // how many lines a slow machine may show by now.
  const auto firstRefusal = std::chrono::steady_clock::now();
  const auto mostLines = [&firstRefusal](size_t first) {
    return first + static_cast<size_t>(std::chrono::duration_cast<std::chrono::minutes>(
                                           std::chrono::steady_clock::now() - firstRefusal)
                                           .count());
  };
  for (const Sending& sending : sendings) {
    ForeignClient foreign(kForeignUid, port_, sending.request, sending.afterUpgrade);
    std::string error;
    const std::string answer = foreign.received(error);
    ASSERT_TRUE(error.empty()) << sending.name << ": " << error;
    EXPECT_EQ(answer.rfind("HTTP/1.1 403 ", 0), 0u) << sending.name << ": " << answer;
    EXPECT_EQ(answer.find('{'), std::string::npos) << sending.name << ": a reply reached the other user: " << answer;
  }
  EXPECT_EQ(app_.connectionCount(), 0);
  EXPECT_FALSE(hasExited(std::chrono::milliseconds(300))) << "a refused connection ended the daemon";
  // The user's first refusal is written; the next, within the minute, is
  // counted.
  EXPECT_GE(RefusalsOfUser(readFile(logFile), kForeignUid), 1u);
  EXPECT_LE(RefusalsOfUser(readFile(logFile), kForeignUid), mostLines(1));

  // The daemon's own user is served next, and its task runs after anything
  // the other user's request could have queued (one worker, tasks in order).
  TestClient owner;
  connect(owner);
  const std::string mine = dir_.file("mine.mp4");
  ASSERT_TRUE(owner.send(StartCopy(4, 502, clip, mine)));
  bool done = false;
  for (int i = 0; i < 100 && !done; ++i) {
    const std::optional<std::string> message = owner.receive();
    ASSERT_TRUE(message.has_value()) << "no completion notice";
    done = *message == "{\"sid\":4,\"taskId\":502}";
  }
  ASSERT_TRUE(done);
  const ProbeInfo copy = probe(mine);
  ASSERT_TRUE(copy.ok) << copy.error;
  EXPECT_EQ(copy.count("video"), 1);
  EXPECT_FALSE(fs::exists(stolen)) << "the other user's task ran";

  // While a client is served, another user's connection that closes does not
  // end the daemon either.
  {
    ForeignClient foreign(kForeignUid, port_, UpgradeRequest(port_), TextFrames({"{\"sid\":5,\"op\":\"quit\"}"}));
    std::string error;
    EXPECT_EQ(foreign.received(error).rfind("HTTP/1.1 403 ", 0), 0u) << error;
  }
  EXPECT_EQ(owner.request("{\"sid\":6,\"op\":\"ping\"}").value_or(""), "{\"sid\":6,\"pong\":\"ok\"}");
  EXPECT_EQ(app_.connectionCount(), 1);
  EXPECT_LE(RefusalsOfUser(readFile(logFile), kForeignUid), mostLines(1));
  EXPECT_FALSE(app_.quitRequested());

  // The last served client leaving still ends the daemon, and the refusals
  // counted are written as it stops.
  owner.close();
  ASSERT_TRUE(hasExited(std::chrono::seconds(30)));
  const std::string log = readFile(logFile);
  EXPECT_GE(RefusalsOfUser(log, kForeignUid), 2u) << "the count owed was not written as the daemon stopped";
  EXPECT_LE(RefusalsOfUser(log, kForeignUid), mostLines(2));
  EXPECT_EQ(RefusalsInLog(log).refusals, 3u) << log;
}

// Anyone on the machine can make the daemon refuse upgrades, thousands a
// second: another user's client, or a web page in a browser of the served
// user. The log keeps a few megabytes; a line for each refusal would push
// out everything before them. Each user's first refusal is written and the
// rest counted, at most one line per user and minute.
TEST_F(SecurityE2eTest, RefusedUpgradesCannotPushTheLogOut) {
  const std::string logFile = settings_.logFolder + "/QelApi.log";
  const auto FirstLine = [](const std::string& text) { return text.substr(0, text.find('\n')); };
  const std::string firstLine = FirstLine(readFile(logFile));
  ASSERT_FALSE(firstLine.empty());
  const auto started = std::chrono::steady_clock::now();

  constexpr uint64_t kRefusals = 300;
  const std::string port = std::to_string(port_);
  for (uint64_t i = 0; i < kRefusals; ++i) {
    ASSERT_EQ(upgradeStatus(port_, {{"Host", "127.0.0.1:" + port}, {"Origin", "https://evil.example"}}), 403);
  }
  const bool foreign = CanActAsAnotherUser();  // else only the web page's refusals
  for (uint64_t i = 0; foreign && i < kRefusals; ++i) {
    ForeignClient client(kForeignUid, port_, UpgradeRequest(port_));
    std::string error;
    ASSERT_EQ(client.received(error).rfind("HTTP/1.1 403 ", 0), 0u) << error;
  }
  const size_t users = foreign ? 2 : 1;
  // A line for each user, and at most one more per user and minute begun
  // since (a loaded machine may take that long).
  const auto minutes = std::chrono::duration_cast<std::chrono::minutes>(std::chrono::steady_clock::now() - started);
  const std::string log = readFile(logFile);
  EXPECT_LE(RefusalsInLog(log).lines, users * (2 + static_cast<size_t>(minutes.count())));
  EXPECT_EQ(FirstLine(log), firstLine);

  // Nothing counted is lost: what is left is written as the daemon stops.
  TestClient last;
  connect(last);
  last.close();
  ASSERT_TRUE(hasExited(std::chrono::seconds(30)));
  EXPECT_EQ(RefusalsInLog(readFile(logFile)).refusals, users * kRefusals);
}

}  // namespace
}  // namespace qel::test
