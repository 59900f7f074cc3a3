// The plain server layer: the HTTP route, connection events, message order
// and the per-connection tick.
#include "QelDaemon/ws_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "QelDaemon/channel.h"
#include "QelApi/QelDaemon/test_client.h"

namespace qel::test {

namespace {

// Records the server's events; every callback runs on the server thread.
struct EventLog {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> events;
  int ticks = 0;

  void add(std::string event) {
    std::lock_guard lock(mutex);
    events.push_back(std::move(event));
    changed.notify_all();
  }
  bool waitFor(const std::string& event, std::chrono::seconds timeout = std::chrono::seconds(30)) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, timeout, [&] {
      for (const auto& e : events) {
        if (e == event) return true;
      }
      return false;
    });
  }
};

WsServer::Callbacks echoCallbacks(EventLog& log) {
  WsServer::Callbacks callbacks;
  callbacks.onOpen = [&log](const std::shared_ptr<Channel>&) { log.add("open"); };
  callbacks.onMessage = [&log](const std::shared_ptr<Channel>& channel, const std::string& text) {
    // Logged after the reply has been queued.
    struct LogAtEnd {
      EventLog& log;
      const std::string& text;
      ~LogAtEnd() { log.add("message:" + text); }
    } logAtEnd{log, text};
    if (text == "burst") {
      // Sends from another thread: they are posted to the connection and keep
      // their order.
      std::thread other([channel] {
        for (int i = 0; i < 50; ++i) channel->send(std::to_string(i));
      });
      other.join();
    } else if (text == "bad:") {
      channel->send("echo:bad:\xff\xc3(");
    } else {
      channel->send("echo:" + text);
    }
  };
  callbacks.onClose = [&log](const std::shared_ptr<Channel>&) { log.add("close"); };
  callbacks.onTick = [&log](const std::shared_ptr<Channel>& channel) {
    {
      std::lock_guard lock(log.mutex);
      ++log.ticks;
    }
    channel->send("tick");
  };
  return callbacks;
}

// Each test starts its own echo server on a free port.
class WsServerTest : public ::testing::Test {
 protected:
  // The tick is an hour unless a test watches ticks, so none slips between a
  // request and its reply.
  bool start(std::chrono::milliseconds tick = std::chrono::hours(1), WsServer::Options options = {}) {
    options.tickInterval = tick;
    server_.emplace(echoCallbacks(log_), options);
    std::string error;
    const bool started = server_->start(0, error);
    EXPECT_TRUE(started) << error;
    return started;
  }

  bool connect(TestClient& client) {
    std::string error;
    const bool connected = client.connect(server_->port(), error);
    EXPECT_TRUE(connected) << error;
    return connected;
  }

  EventLog log_;
  std::optional<WsServer> server_;  // after the log: stopped before the log goes
};

TEST_F(WsServerTest, PingRouteAnswersPongAndOtherRoutesAreNotFound) {
  ASSERT_TRUE(start());
  HttpResult ping = httpGet(server_->port(), "/ping");
  ASSERT_TRUE(ping.ok);
  EXPECT_EQ(ping.status, 200);
  EXPECT_EQ(ping.body, "{\"pong\":1}");
  HttpResult other = httpGet(server_->port(), "/nothing");
  ASSERT_TRUE(other.ok);
  EXPECT_EQ(other.status, 404);
  server_->stop();
  // HTTP requests are not connections.
  std::lock_guard lock(log_.mutex);
  EXPECT_TRUE(log_.events.empty());
}

TEST_F(WsServerTest, ConnectionEventsMessagesAndTicks) {
  ASSERT_TRUE(start(std::chrono::milliseconds(50)));
  {
    TestClient client;
    ASSERT_TRUE(connect(client));
    ASSERT_TRUE(log_.waitFor("open"));
    ASSERT_TRUE(client.send("hello"));
    // Ticks interleave with the echo.
    bool sawEcho = false;
    bool sawTick = false;
    while (!(sawEcho && sawTick)) {
      auto message = client.receive();
      ASSERT_TRUE(message.has_value());
      if (*message == "tick") {
        sawTick = true;
      } else {
        EXPECT_EQ(*message, "echo:hello");
        sawEcho = true;
      }
    }
    client.close();
  }
  ASSERT_TRUE(log_.waitFor("close"));
  server_->stop();
  std::lock_guard lock(log_.mutex);
  EXPECT_EQ(std::count(log_.events.begin(), log_.events.end(), "close"), 1);
  EXPECT_EQ(std::count(log_.events.begin(), log_.events.end(), "open"), 1);
}

// A server that serves another user than the one running this test (as a
// daemon of that user would): this test's upgrades are refused before they
// become connections, and the plain HTTP route still answers.
TEST_F(WsServerTest, OnlyTheServedUsersUpgradesBecomeConnections) {
  WsServer::Options options;
  options.servedUser = ::geteuid() + 1;
  ASSERT_TRUE(start(std::chrono::hours(1), options));
  const std::vector<std::pair<std::string, std::string>> headers = {
      {"Host", "127.0.0.1:" + std::to_string(server_->port())}};
  EXPECT_EQ(upgradeStatus(server_->port(), headers), 403);
  TestClient client;
  std::string error;
  EXPECT_FALSE(client.connect(server_->port(), error));
  EXPECT_EQ(httpGet(server_->port(), "/ping").body, "{\"pong\":1}");
  server_->stop();
  std::lock_guard lock(log_.mutex);
  EXPECT_TRUE(log_.events.empty()) << "a refused upgrade was reported as a connection";
}

// Outside the initial user namespace the overflow uid stands for every user
// that the namespace does not map: a server whose own user reads as it can
// tell no connection to be its user's, and serves none. In the initial
// namespace that uid is one user like any other.
TEST_F(WsServerTest, TheOverflowUidIsNobodysOutsideTheInitialNamespace) {
  const uid_t me = ::geteuid();
  struct Case {
    const char* name;
    UserNamespace users;
    int status;
  } const cases[] = {
      {"initial namespace, run by the overflow uid's user", UserNamespace(true, me), 101},
      {"namespace that maps the server's user", UserNamespace(false, me + 1), 101},
      {"namespace where the server's user reads as the overflow uid", UserNamespace(false, me), 403},
  };
  for (const Case& c : cases) {
    WsServer::Options options;
    options.userNamespace = c.users;
    ASSERT_TRUE(start(std::chrono::hours(1), options)) << c.name;
    EXPECT_EQ(upgradeStatus(server_->port(), {{"Host", "127.0.0.1:" + std::to_string(server_->port())}}), c.status)
        << c.name;
  }
}

TEST_F(WsServerTest, SendsFromAnotherThreadKeepTheirOrder) {
  ASSERT_TRUE(start());
  TestClient client;
  ASSERT_TRUE(connect(client));
  ASSERT_TRUE(client.send("burst"));
  for (int i = 0; i < 50; ++i) {
    auto message = client.receive();
    ASSERT_TRUE(message.has_value());
    EXPECT_EQ(*message, std::to_string(i));
  }
}

TEST_F(WsServerTest, StopFlushesQueuedMessagesAndClosesConnections) {
  ASSERT_TRUE(start());
  TestClient client;
  ASSERT_TRUE(connect(client));
  ASSERT_TRUE(client.send("last words"));
  ASSERT_TRUE(log_.waitFor("message:last words"));
  // stop() waits for the close handshake, which this thread answers.
  std::thread stopper([this] { server_->stop(); });
  auto message = client.receive(std::chrono::seconds(30));
  EXPECT_TRUE(message.has_value());
  EXPECT_EQ(message.value_or(""), "echo:last words");
  EXPECT_TRUE(client.waitClosed(std::chrono::seconds(30)));
  stopper.join();
  std::lock_guard lock(log_.mutex);
  EXPECT_EQ(std::count(log_.events.begin(), log_.events.end(), "close"), 1);
}

// A client that stops reading never answers the close frame. Its replies are
// still written before the close, but the stop waits only half a second for
// the answer: far below both the stop grace (two minutes here) and the
// WebSocket layer's own ten-second close timeout.
TEST_F(WsServerTest, StopDoesNotWaitForAClientThatNeverAnswersTheClose) {
  WsServer::Options options;
  options.tickInterval = std::chrono::hours(1);
  options.stopGrace = std::chrono::minutes(2);
  server_.emplace(echoCallbacks(log_), options);
  std::string error;
  ASSERT_TRUE(server_->start(0, error)) << error;
  TestClient silent;
  ASSERT_TRUE(connect(silent));
  ASSERT_TRUE(silent.send("last words"));
  ASSERT_TRUE(log_.waitFor("message:last words"));

  const auto asked = std::chrono::steady_clock::now();
  server_->stop();
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(5)) << "stop waited for the close answer";
  {
    std::lock_guard lock(log_.mutex);
    EXPECT_EQ(std::count(log_.events.begin(), log_.events.end(), "close"), 1);
  }
  EXPECT_EQ(silent.receive(std::chrono::seconds(30)).value_or(""), "echo:last words");
  EXPECT_TRUE(silent.waitClosed(std::chrono::seconds(30)));
}

TEST_F(WsServerTest, IllFormedUtf8IsRepairedBeforeItIsSent) {
  ASSERT_TRUE(start());
  TestClient client;
  ASSERT_TRUE(connect(client));
  // Beast's client fails the read of an ill-formed text frame, so receiving
  // the message at all proves it was valid UTF-8.
  auto reply = client.request("bad:");
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(*reply, "echo:bad:\xEF\xBF\xBD\xEF\xBF\xBD(");
}

TEST_F(WsServerTest, PortInUseIsAStartFailure) {
  ASSERT_TRUE(start());
  WsServer second(echoCallbacks(log_), {});
  std::string error;
  EXPECT_FALSE(second.start(server_->port(), error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(second.start(65536, error));
  EXPECT_FALSE(second.start(-1, error));
}

}  // namespace
}  // namespace qel::test
