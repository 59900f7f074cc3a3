// The plain server layer: the HTTP route, connection events, message order
// and the per-connection tick.
#include "QelDaemon/ws_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "QelDaemon/channel.h"
#include "daemon/test_client.h"

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

TEST(WsServerTest, PingRouteAnswersPongAndOtherRoutesAreNotFound) {
  EventLog log;
  WsServer server(echoCallbacks(log), {});
  std::string error;
  ASSERT_TRUE(server.start(0, error)) << error;
  HttpResult ping = httpGet(server.port(), "/ping");
  ASSERT_TRUE(ping.ok);
  EXPECT_EQ(ping.status, 200);
  EXPECT_EQ(ping.body, "{\"pong\":1}");
  HttpResult other = httpGet(server.port(), "/nothing");
  ASSERT_TRUE(other.ok);
  EXPECT_EQ(other.status, 404);
  server.stop();
  // HTTP requests are not connections.
  std::lock_guard lock(log.mutex);
  EXPECT_TRUE(log.events.empty());
}

TEST(WsServerTest, ConnectionEventsMessagesAndTicks) {
  EventLog log;
  WsServer::Options options;
  options.tickInterval = std::chrono::milliseconds(50);
  WsServer server(echoCallbacks(log), options);
  std::string error;
  ASSERT_TRUE(server.start(0, error)) << error;
  {
    TestClient client;
    ASSERT_TRUE(client.connect(server.port(), error)) << error;
    ASSERT_TRUE(log.waitFor("open"));
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
  ASSERT_TRUE(log.waitFor("close"));
  server.stop();
  std::lock_guard lock(log.mutex);
  EXPECT_EQ(std::count(log.events.begin(), log.events.end(), "close"), 1);
  EXPECT_EQ(std::count(log.events.begin(), log.events.end(), "open"), 1);
}

TEST(WsServerTest, SendsFromAnotherThreadKeepTheirOrder) {
  EventLog log;
  WsServer::Options options;
  options.tickInterval = std::chrono::hours(1);
  WsServer server(echoCallbacks(log), options);
  std::string error;
  ASSERT_TRUE(server.start(0, error)) << error;
  TestClient client;
  ASSERT_TRUE(client.connect(server.port(), error)) << error;
  ASSERT_TRUE(client.send("burst"));
  for (int i = 0; i < 50; ++i) {
    auto message = client.receive();
    ASSERT_TRUE(message.has_value());
    EXPECT_EQ(*message, std::to_string(i));
  }
}

TEST(WsServerTest, StopFlushesQueuedMessagesAndClosesConnections) {
  EventLog log;
  WsServer::Options options;
  options.tickInterval = std::chrono::hours(1);
  WsServer server(echoCallbacks(log), options);
  std::string error;
  ASSERT_TRUE(server.start(0, error)) << error;
  TestClient client;
  ASSERT_TRUE(client.connect(server.port(), error)) << error;
  ASSERT_TRUE(client.send("last words"));
  ASSERT_TRUE(log.waitFor("message:last words"));
  // stop() waits for the close handshake, which this thread answers.
  std::thread stopper([&server] { server.stop(); });
  auto message = client.receive(std::chrono::seconds(30));
  EXPECT_TRUE(message.has_value());
  EXPECT_EQ(message.value_or(""), "echo:last words");
  EXPECT_TRUE(client.waitClosed(std::chrono::seconds(30)));
  stopper.join();
  std::lock_guard lock(log.mutex);
  EXPECT_EQ(std::count(log.events.begin(), log.events.end(), "close"), 1);
}

TEST(WsServerTest, IllFormedUtf8IsRepairedBeforeItIsSent) {
  EventLog log;
  WsServer server(echoCallbacks(log), {});
  std::string error;
  ASSERT_TRUE(server.start(0, error)) << error;
  TestClient client;
  ASSERT_TRUE(client.connect(server.port(), error)) << error;
  // Beast's client fails the read of an ill-formed text frame, so receiving
  // the message at all proves it was valid UTF-8.
  auto reply = client.request("bad:");
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(*reply, "echo:bad:\xEF\xBF\xBD\xEF\xBF\xBD(");
}

TEST(WsServerTest, PortInUseIsAStartFailure) {
  EventLog log;
  WsServer first(echoCallbacks(log), {});
  std::string error;
  ASSERT_TRUE(first.start(0, error)) << error;
  WsServer second(echoCallbacks(log), {});
  EXPECT_FALSE(second.start(first.port(), error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(second.start(65536, error));
  EXPECT_FALSE(second.start(-1, error));
}

}  // namespace
}  // namespace qel::test
