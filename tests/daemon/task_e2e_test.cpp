// "starttask", "gettaskstate" and "aborttask" with the real engine running real
// ffmpeg jobs. These need the engine's operation and task features; while its
// "process" still answers the not-yet-available failure they are skipped.
#include <gtest/gtest.h>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "daemon/daemon_fixture.h"

namespace qel::test {
namespace {

std::string Quote(const std::string& text) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.String(text.c_str(), static_cast<rapidjson::SizeType>(text.size()));
  return buffer.GetString();
}

class TaskE2eTest : public DaemonFixture {
 protected:
  void SetUp() override {
    DaemonFixture::SetUp();
    if (HasFatalFailure()) return;
    connect(client_);
    clip_ = dir_.file("in.mp4");
    ClipSpec spec;
    spec.seconds = 2;
    makeClip(clip_, spec);
  }

  void TearDown() override {
    client_.close();
    DaemonFixture::TearDown();
  }

  // A "cut" graph of the clip from the engine, or "" while "process" is not
  // available (the test is then skipped by the caller).
  std::string cutGraph() {
    std::string reply = client_
                            .request("{\"sid\":1,\"op\":\"process\",\"operation\":{\"input\":[{\"type\":1,\"value\":" +
                                     Quote(clip_) +
                                     "}],\"transform\":\"-ss 0 -to 1\",\"description\":\"cut\",\"outputConfig\":\"\"}}")
                            .value_or("");
    rapidjson::Document document;
    document.Parse(reply.c_str());
    if (!document.IsObject() || !document.HasMember("operation")) return "";
    const auto& operation = document["operation"];
    if (!operation.IsObject() || !operation.HasMember("output") || !operation["output"].IsString()) return "";
    return operation["output"].GetString();
  }

  std::string startTask(int sid, uint64_t taskId, const std::string& graph, const std::string& out) {
    return "{\"sid\":" + std::to_string(sid) + ",\"op\":\"starttask\",\"taskId\":" + std::to_string(taskId) +
           ",\"operations\":[{\"input\":[{\"type\":2,\"value\":" + Quote(graph) +
           "}],\"transform\":\"\",\"output\":[{\"type\":1,\"value\":" + Quote(out) + "}]}]}";
  }

  // Messages until one equals `wanted`; the others are collected.
  bool waitFor(const std::string& wanted, std::vector<std::string>& others,
               std::chrono::seconds timeout = std::chrono::seconds(120)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      auto message = client_.receive(std::chrono::seconds(5));
      if (!message) {
        if (client_.closedByPeer()) return false;
        continue;
      }
      if (*message == wanted) return true;
      others.push_back(*message);
    }
    return false;
  }

  TestClient client_;
  std::string clip_;
};

TEST_F(TaskE2eTest, JobRunsAndItsCompletionIsPushedOnce) {
  std::string graph = cutGraph();
  if (graph.empty()) GTEST_SKIP() << "the engine's \"process\" is not available yet";
  const uint64_t taskId = 5550001;
  std::string out = dir_.file("out.mp4");
  ASSERT_TRUE(client_.send(startTask(61, taskId, graph, out)));
  // Right after the start: a record without a report yet, or already a report.
  auto state = client_.request("{\"sid\":62,\"op\":\"gettaskstate\",\"taskId\":5550001}");
  ASSERT_TRUE(state.has_value());
  ASSERT_EQ(state->find("\"errorCode\":6510"), std::string::npos) << "starttask failed: " << *state;

  std::vector<std::string> others;
  ASSERT_TRUE(waitFor("{\"sid\":61,\"taskId\":5550001}", others)) << "no completion notice";
  for (const auto& message : others) EXPECT_EQ(message.find("\"taskId\":5550001}"), std::string::npos) << message;

  // The last status, with this request's sid and the id at the end.
  state = client_.request("{\"sid\":63,\"op\":\"gettaskstate\",\"taskId\":5550001}");
  ASSERT_TRUE(state.has_value());
  const std::string tail = ",\"sid\":63,\"taskId\":5550001}";
  ASSERT_GE(state->size(), tail.size());
  EXPECT_EQ(state->substr(state->size() - tail.size()), tail) << *state;

  // The id stays taken, and no second notice comes.
  EXPECT_EQ(client_.request(startTask(64, taskId, graph, out)).value_or(""),
            "{\"sid\":64,\"error\":true,\"errorCode\":6511,\"errorDetail\":\"repeated task id\"}");
  EXPECT_EQ(client_.request("{\"sid\":65,\"op\":\"ping\"}", std::chrono::seconds(3)).value_or(""),
            "{\"sid\":65,\"pong\":\"ok\"}");

  ProbeInfo info = probe(out);
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_EQ(info.width, 160);
}

TEST_F(TaskE2eTest, ReconnectedClientFindsItsEarlierTasksDetached) {
  std::string graph = cutGraph();
  if (graph.empty()) GTEST_SKIP() << "the engine's \"process\" is not available yet";
  TestClient keeper;  // keeps the daemon alive while client_ reconnects
  connect(keeper);
  ASSERT_TRUE(client_.send(startTask(71, 5550002, graph, dir_.file("out2.mp4"))));
  auto state = client_.request("{\"sid\":72,\"op\":\"gettaskstate\",\"taskId\":5550002}");
  ASSERT_TRUE(state.has_value());
  ASSERT_EQ(state->find("\"errorCode\":6510"), std::string::npos) << "starttask failed: " << *state;
  client_.close();

  TestClient again;
  connect(again);
  EXPECT_NE(again.request("{\"sid\":73,\"op\":\"gettaskstate\",\"taskId\":5550002}").value_or("").find("\"progress\":100"),
            std::string::npos);
  EXPECT_EQ(again.request("{\"sid\":74,\"op\":\"aborttask\",\"taskId\":5550002}").value_or(""),
            "{\"sid\":74,\"error\":true,\"errorCode\":6512,\"errorDetail\":\"task id do not exist\"}");
  again.close();
  keeper.close();
}

}  // namespace
}  // namespace qel::test
