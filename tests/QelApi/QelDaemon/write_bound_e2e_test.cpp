// A client that sends requests but never reads the replies: its connection is
// closed once its unsent replies pass the write-queue bound, the memory they
// held is given back, and other clients are served all along.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "QelApi/QelDaemon/daemon_fixture.h"

namespace qel::test {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

class WriteBoundE2eTest : public DaemonFixture {
 protected:
  // A small bound, so that the test needs few requests to reach it.
  static constexpr size_t kBound = 1 << 20;
  WsServer::Options serverOptions() override {
    WsServer::Options options;
    options.maxQueuedBytes = kBound;
    return options;
  }
};

TEST_F(WriteBoundE2eTest, NonReadingClientIsClosedAtItsBoundWhileOthersAreServed) {
  TestClient bystander;
  connect(bystander);
  TestClient greedy;
  greedy.limitReceiveBuffer(4096);
  connect(greedy);

  // Each request is answered with some 260 bytes (the unknown-task state);
  // the kernel's socket buffers take a few megabytes before the queue grows.
  // Far more than that in all: a daemon without a bound answers every one.
  constexpr int kMaxRequests = 400000;
  const std::string request = "{\"sid\":7,\"op\":\"gettaskstate\",\"taskId\":42}";
  int sent = 0;
  int pings = 0;
  while (sent < kMaxRequests && greedy.send(request)) {
    ++sent;
    if (sent % 20000 == 0) {
      ++pings;
      const std::string sid = std::to_string(pings);
      EXPECT_EQ(bystander.request("{\"sid\":" + sid + ",\"op\":\"ping\"}", seconds(20)).value_or("<none>"),
                "{\"sid\":" + sid + ",\"pong\":\"ok\"}");
    }
  }
  EXPECT_LT(sent, kMaxRequests) << "the connection that reads nothing was never closed";
  RecordProperty("requests_before_close", sent);

  // Its replies are dropped, not kept: the daemon's queues empty out.
  // Well inside the 20 s idle limit, so the bystander is still open at the end.
  auto deadline = std::chrono::steady_clock::now() + seconds(10);
  while (app_.queuedReplyBytes() != 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(milliseconds(10));
  }
  EXPECT_EQ(app_.queuedReplyBytes(), 0u);
  while (app_.connectionCount() != 1 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(milliseconds(10));
  }
  EXPECT_EQ(app_.connectionCount(), 1) << "only the bystander is left";

  EXPECT_EQ(bystander.request("{\"sid\":99,\"op\":\"ping\"}").value_or("<none>"), "{\"sid\":99,\"pong\":\"ok\"}");
  EXPECT_FALSE(hasExited(milliseconds(0)));
  bystander.close();
}

}  // namespace
}  // namespace qel::test
