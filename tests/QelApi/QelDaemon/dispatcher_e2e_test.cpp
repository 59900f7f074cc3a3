// The daemon in-process with the real engine and a real WebSocket client:
// dispatch, malformed requests, pass-through ops, quit and the exit rule.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "QelDaemon/engine_handle.h"
#include "QelDaemon/request_dispatcher.h"
#include "QelApi/QelDaemon/daemon_fixture.h"
#include "qelapi.h"

namespace qel::test {
namespace {

using DispatcherE2eTest = DaemonFixture;

std::string InvalidParameter(int64_t sid) {
  return "{\"sid\":" + std::to_string(sid) +
         ",\"error\":true,\"errorCode\":6510,\"errorDetail\":\"Invalid parameter\"}";
}

TEST_F(DispatcherE2eTest, MalformedRequestsGetClearErrorsAndTheDaemonKeepsRunning) {
  TestClient client;
  connect(client);
  const std::string deep = std::string(200000, '[') + std::string(200000, ']');
  struct Case {
    std::string request;
    std::string reply;
  } cases[] = {
      {"{\"sid\":3,\"op\":\"PiNg\"}", "{\"sid\":3,\"pong\":\"ok\"}"},
      {"not json at all", InvalidParameter(0)},
      {"", InvalidParameter(0)},
      {"[{\"op\":\"ping\"}]", InvalidParameter(0)},  // root is not an object
      {"\"ping\"", InvalidParameter(0)},
      {"{\"sid\":5}", InvalidParameter(5)},
      {"{\"sid\":5,\"op\":\"\"}", InvalidParameter(5)},
      {"{\"sid\":5,\"op\":\"foo\"}", "{\"sid\":5,\"error\":true,\"errorCode\":6510,\"errorDetail\":\"undefined op\"}"},
      {"{\"sid\":5,\"op\":7}", InvalidParameter(5)},
      {"{\"sid\":5,\"op\":\"ping\",\"taskId\":\"12\"}", InvalidParameter(5)},
      {"{\"sid\":5,\"op\":\"ping\",\"taskId\":-4}", InvalidParameter(5)},
      {"{\"sid\":5,\"op\":\"ping\",\"taskId\":1.5}", InvalidParameter(5)},
      {"{\"sid\":5,\"op\":\"getmediaprops\",\"path\":[\"/x\"]}", InvalidParameter(5)},
      {"{\"sid\":\"5\",\"op\":\"ping\"}", InvalidParameter(0)},
      {"{\"sid\":4294967297,\"op\":\"ping\"}", "{\"sid\":1,\"pong\":\"ok\"}"},  // read as 32 bits
      {"{\"sid\":-2,\"op\":\"ping\"}", "{\"sid\":-2,\"pong\":\"ok\"}"},
      // Parsed without recursion, then refused for its depth, with its sid.
      {"{\"sid\":6,\"op\":\"ping\",\"x\":" + deep + "}", InvalidParameter(6)},
      {"{\"sid\":6,\"op\":\"ping\",\"x\":" + std::string(63, '[') + std::string(63, ']') + "}",
       "{\"sid\":6,\"pong\":\"ok\"}"},
      {deep, InvalidParameter(0)},
      {"{\"sid\":8,\"op\":\"%s%n%s%n\"}",
       "{\"sid\":8,\"error\":true,\"errorCode\":6510,\"errorDetail\":\"undefined op\"}"},
  };
  for (const Case& c : cases) {
    auto reply = client.request(c.request);
    ASSERT_TRUE(reply.has_value()) << c.request.substr(0, 80);
    EXPECT_EQ(*reply, c.reply) << c.request.substr(0, 80);
  }
  EXPECT_FALSE(hasExited(std::chrono::milliseconds(0)));
}

TEST_F(DispatcherE2eTest, DirectAnswers) {
  test::ScopedEnv display("DISPLAY", std::nullopt);
  TestClient client;
  connect(client);
  EXPECT_EQ(client.request("{\"sid\":9,\"op\":\"getdesktopzoom\"}").value_or(""),
            "{\"sid\":9,\"error\":false,\"errorCode\":0,\"errorDetail\":\"\",\"desktopZoom\":1.0}");
  EXPECT_EQ(client.request("{\"sid\":10,\"op\":\"cleancache\"}").value_or(""),
            "{\"sid\":10,\"error\":false,\"errorCode\":0,\"errorDetail\":\"\"}");
  // A level the engine refuses is still answered with success.
  EXPECT_EQ(client.request("{\"sid\":11,\"op\":\"setloglevel\",\"logLevel\":\"loudest\"}").value_or(""),
            "{\"sid\":11,\"error\":false,\"errorCode\":0,\"errorDetail\":\"\"}");
}

TEST_F(DispatcherE2eTest, ConfigQueriesPassTheEngineTextThrough) {
  const std::string request = "{\"sid\":12,\"op\":\"getloglevel\"}";
  char* direct = nullptr;
  {
    EngineLease engine(app_.state().engine);
    ASSERT_NE(engine.get(), nullptr);
    qelapi_get_config(engine.get(), request.c_str(), &direct);
  }
  std::string expected = direct != nullptr ? direct : "";
  qelapi_free_str(nullptr, &direct);
  TestClient client;
  connect(client);
  EXPECT_EQ(client.request(request).value_or("<none>"), expected);
}

TEST_F(DispatcherE2eTest, QuitAnswersWithSidAndTimeAndEndsTheDaemon) {
  TestClient client;
  TestClient bystander;  // an open connection does not keep the daemon alive
  connect(client);
  connect(bystander);
  uint64_t before = NowMillis();
  auto reply = client.request("{\"sid\":7,\"op\":\"quit\",\"taskId\":0}");
  ASSERT_TRUE(reply.has_value());
  const std::string prefix = "{\"sid\":7,\"taskId\":";
  ASSERT_EQ(reply->substr(0, prefix.size()), prefix);
  uint64_t taskId = std::stoull(reply->substr(prefix.size()));
  EXPECT_GE(taskId, before);
  EXPECT_LE(taskId, NowMillis());
  // The daemon closes every connection as it stops.
  EXPECT_TRUE(client.waitClosed(std::chrono::seconds(30)));
  EXPECT_TRUE(bystander.waitClosed(std::chrono::seconds(30)));
  EXPECT_TRUE(hasExited(std::chrono::seconds(30)));
  EXPECT_EQ(app_.state().engine.peek(), nullptr);
}

TEST_F(DispatcherE2eTest, QuitWaitsForAnEngineCallInProgress) {
  TestClient client;
  connect(client);
  std::optional<std::string> reply;
  {
    // Stands for a handler on another thread that holds the engine while
    // "quit" arrives. The engine is shut down without waiting for it (calls
    // still inside end early), so the lease's later calls are refused rather
    // than reach freed memory; quit answers once the lease has ended.
    EngineLease inUse(app_.state().engine);
    ASSERT_NE(inUse.get(), nullptr);
    ASSERT_TRUE(client.send("{\"sid\":4,\"op\":\"quit\",\"taskId\":99}"));
    reply = client.receive(std::chrono::milliseconds(500));
    EXPECT_FALSE(reply.has_value()) << "quit answered while the engine was still in use";
    int answer = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while ((answer = qelapi_remove_task(inUse.get(), 12345)) != QEL_ERR_INVALID_PARAMS &&
           std::chrono::steady_clock::now() < deadline) {
      EXPECT_EQ(answer, QEL_ERR_TASK_NOT_EXIST);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(answer, QEL_ERR_INVALID_PARAMS) << "the shut-down engine still answered";
  }
  if (!reply) reply = client.receive();
  EXPECT_EQ(reply.value_or(""), "{\"sid\":4,\"taskId\":99}");
  EXPECT_TRUE(client.waitClosed(std::chrono::seconds(30)));
  EXPECT_TRUE(hasExited(std::chrono::seconds(30)));
  EXPECT_EQ(app_.state().engine.peek(), nullptr);
}

TEST_F(DispatcherE2eTest, RequestsAfterQuitGetTheEnginesNullHandleAnswers) {
  TestClient client;
  TestClient late;
  connect(client);
  connect(late);
  // Both requests are queued before the daemon stops; the second reaches the
  // engine after quit has shut it down.
  ASSERT_TRUE(client.send("{\"sid\":1,\"op\":\"quit\"}"));
  auto reply = client.receive();
  EXPECT_EQ(reply.value_or(""), "{\"sid\":1,\"taskId\":0}");
  auto after =
      late.request("{\"sid\":2,\"op\":\"starttask\",\"taskId\":5,\"operations\":[]}", std::chrono::seconds(10));
  if (after.has_value()) {
    EXPECT_EQ(*after, "{\"sid\":2,\"error\":true,\"errorCode\":6510,\"errorDetail\":\"invalid parameters\"}");
  }
  EXPECT_TRUE(client.waitClosed(std::chrono::seconds(30)));
  EXPECT_TRUE(late.waitClosed(std::chrono::seconds(30)));
  EXPECT_TRUE(hasExited(std::chrono::seconds(30)));
}

TEST_F(DispatcherE2eTest, DaemonEndsWhenTheLastConnectionCloses) {
  TestClient first;
  TestClient second;
  connect(first);
  connect(second);
  first.close();
  // Still serving the other client.
  EXPECT_EQ(second.request("{\"sid\":1,\"op\":\"ping\"}").value_or(""), "{\"sid\":1,\"pong\":\"ok\"}");
  EXPECT_FALSE(hasExited(std::chrono::milliseconds(300)));
  second.close();
  EXPECT_TRUE(hasExited(std::chrono::seconds(30)));
  EXPECT_EQ(app_.state().engine.peek(), nullptr);
}

TEST_F(DispatcherE2eTest, HttpPingIsNotAConnection) {
  HttpResult ping = httpGet(port_, "/ping");
  ASSERT_TRUE(ping.ok);
  EXPECT_EQ(ping.status, 200);
  EXPECT_EQ(ping.body, "{\"pong\":1}");
  EXPECT_FALSE(hasExited(std::chrono::milliseconds(300)));
  EXPECT_EQ(app_.connectionCount(), 0);
}

TEST_F(DispatcherE2eTest, UnknownTasksOnThisConnection) {
  TestClient client;
  connect(client);
  EXPECT_EQ(client.request("{\"sid\":2,\"op\":\"aborttask\",\"taskId\":424242}").value_or(""),
            "{\"sid\":2,\"error\":true,\"errorCode\":6512,\"errorDetail\":\"task id do not exist\"}");
  EXPECT_EQ(client.request("{\"sid\":3,\"op\":\"gettaskstate\",\"taskId\":424242}").value_or(""),
            "{\"sid\":3,\"taskId\":424242,\"error\":true,\"errorCode\":6510,\"errorDetail\":\"invalid parameters\","
            "\"totalPhase\":0,\"currentPhase\":0,\"phaseDetail\":{\"id\":\"\",\"progress\":100,\"speed\":\"0x\","
            "\"size\":\"0kB\",\"usedTime\":\"\",\"estimateTime\":\"\",\"description\":\"\"},\"ids\":[]}");
}

TEST_F(DispatcherE2eTest, RejectedStartTaskLeavesTheIdWithTheEngine) {
  TestClient client;
  connect(client);
  const std::string request = "{\"sid\":4,\"op\":\"starttask\",\"taskId\":777001,\"operations\":[]}";
  // No operation the engine can read.
  EXPECT_EQ(client.request(request).value_or(""),
            "{\"sid\":4,\"error\":true,\"errorCode\":6510,\"errorDetail\":\"invalid parameters\"}");
  // The engine still holds the created task: its create refuses the id now.
  EXPECT_EQ(client.request(request).value_or(""),
            "{\"sid\":4,\"error\":true,\"errorCode\":6511,\"errorDetail\":\"repeated task id\"}");
}

}  // namespace
}  // namespace qel::test
