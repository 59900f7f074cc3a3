// "starttask", "gettaskstate" and "aborttask" with the real engine running real
// ffmpeg jobs, driven over a live connection: graphs come from "process"
// requests, outputs are checked with ffprobe.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "QelApi/QelDaemon/daemon_fixture.h"

namespace qel::test {
namespace {

std::string Quote(const std::string& text) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.String(text.c_str(), static_cast<rapidjson::SizeType>(text.size()));
  return buffer.GetString();
}

std::string Item(int type, const std::string& value, const std::string& prevOp = "") {
  std::string item = "{\"type\":" + std::to_string(type) + ",\"value\":" + Quote(value);
  if (!prevOp.empty()) item += ",\"prevOp\":" + Quote(prevOp);
  return item + "}";
}

// One input item of a "process" request.
std::string ProcessItem(int type, const std::string& value, int seconds) {
  return "{\"type\":" + std::to_string(type) + ",\"value\":" + Quote(value) +
         ",\"duration\":" + std::to_string(seconds) + "}";
}

std::string StartTask(int sid, uint64_t taskId, const std::string& input, const std::string& transform,
                      const std::string& out) {
  return "{\"sid\":" + std::to_string(sid) + ",\"op\":\"starttask\",\"taskId\":" + std::to_string(taskId) +
         ",\"operations\":[{\"input\":[" + input + "],\"transform\":" + Quote(transform) + ",\"output\":[" +
         Item(1, out) + "]}]}";
}

std::string Notice(int sid, uint64_t taskId) {
  return "{\"sid\":" + std::to_string(sid) + ",\"taskId\":" + std::to_string(taskId) + "}";
}

// What "gettaskstate" reports.
struct State {
  bool ok = false;  // the reply was an object with the expected members
  bool error = true;
  int64_t errorCode = -1;
  int progress = -1;
  std::string text;
};

State ReadState(const std::string& text) {
  State state;
  state.text = text;
  rapidjson::Document document;
  document.Parse(text.c_str(), text.size());
  if (!document.IsObject()) return state;
  auto error = document.FindMember("error");
  auto code = document.FindMember("errorCode");
  auto detail = document.FindMember("phaseDetail");
  if (error == document.MemberEnd() || !error->value.IsBool() || code == document.MemberEnd() ||
      !code->value.IsInt64() || detail == document.MemberEnd() || !detail->value.IsObject()) {
    return state;
  }
  auto progress = detail->value.FindMember("progress");
  if (progress == detail->value.MemberEnd() || !progress->value.IsInt()) return state;
  state.ok = true;
  state.error = error->value.GetBool();
  state.errorCode = code->value.GetInt64();
  state.progress = progress->value.GetInt();
  return state;
}

class TaskE2eTest : public DaemonFixture {
 protected:
  void SetUp() override {
    DaemonFixture::SetUp();
    if (HasFatalFailure()) return;
    connect(client_);
    clip_ = dir_.file("in.mp4");
    ClipSpec recipe;
    recipe.seconds = 4;
    makeClip(clip_, recipe);
  }

  void TearDown() override {
    client_.close();
    DaemonFixture::TearDown();
  }

  // Sends `text` and returns the message answering it (the first whose "sid"
  // is `sid`, wherever the member stands); pushed messages that arrive
  // meanwhile go to `pushed_`.
  std::string ask(const std::string& text, int sid) {
    if (!client_.send(text)) return "<connection lost>";
    for (int i = 0; i < 1000; ++i) {
      auto message = client_.receive();
      if (!message) return "<no reply>";
      if (!isNotice(*message) && sidOf(*message) == sid) return *message;
      pushed_.push_back(*message);
    }
    return "<no reply>";
  }

  static int64_t sidOf(const std::string& message) {
    rapidjson::Document document;
    document.Parse(message.c_str(), message.size());
    if (!document.IsObject()) return -1;
    auto sid = document.FindMember("sid");
    return sid != document.MemberEnd() && sid->value.IsInt64() ? sid->value.GetInt64() : -1;
  }

  // {"sid":n,"taskId":m} and nothing else.
  static bool isNotice(const std::string& message) {
    rapidjson::Document document;
    document.Parse(message.c_str(), message.size());
    return document.IsObject() && document.MemberCount() == 2 && document.HasMember("sid") &&
           document.HasMember("taskId");
  }

  State state(int sid, uint64_t taskId) {
    return ReadState(
        ask("{\"sid\":" + std::to_string(sid) + ",\"op\":\"gettaskstate\",\"taskId\":" + std::to_string(taskId) + "}",
            sid));
  }

  // Lets two push ticks pass, then makes sure every message sent so far has
  // been received (into `pushed_`).
  void drainTicks() {
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_EQ(ask("{\"sid\":999,\"op\":\"ping\"}", 999), "{\"sid\":999,\"pong\":\"ok\"}");
  }

  // Waits until `notice` has been pushed (bounded).
  bool waitForNotice(const std::string& notice) {
    for (int i = 0; i < 120 && count(notice) == 0; ++i) {
      auto message = client_.receive(std::chrono::seconds(1));
      if (message) pushed_.push_back(*message);
    }
    return count(notice) > 0;
  }

  int count(const std::string& message) const {
    return static_cast<int>(std::count(pushed_.begin(), pushed_.end(), message));
  }

  // The graph of the engine's "process" reply for `description` over
  // `inputs` (items written by ProcessItem, joined with ","); "" on failure.
  std::string processGraph(const std::string& description, const std::string& inputs, const std::string& transform,
                           const std::string& outputConfig = "") {
    std::string reply = ask("{\"sid\":1,\"op\":\"process\",\"operation\":{\"input\":[" + inputs +
                                "],\"transform\":" + Quote(transform) + ",\"description\":" + Quote(description) +
                                ",\"outputConfig\":" + Quote(outputConfig) + "}}",
                            1);
    rapidjson::Document document;
    document.Parse(reply.c_str());
    EXPECT_TRUE(document.IsObject() && document.HasMember("operation")) << reply;
    if (!document.IsObject() || !document.HasMember("operation")) return "";
    const auto& operation = document["operation"];
    if (!operation.IsObject() || !operation.HasMember("output") || !operation["output"].IsString()) return "";
    EXPECT_NE(reply.find("\"error\":false"), std::string::npos) << reply;
    return operation["output"].GetString();
  }

  // A "cut" graph of the clip from the engine's "process".
  std::string cutGraph(const std::string& transform) {
    return processGraph("cut", ProcessItem(1, clip_, 4), transform);
  }

  TestClient client_;
  std::string clip_;
  std::vector<std::string> pushed_;
};

TEST_F(TaskE2eTest, JobRunsAndItsCompletionIsPushedOnce) {
  const std::string graph = cutGraph("-ss 0 -to 3");
  ASSERT_FALSE(graph.empty());
  const uint64_t taskId = 5550001;
  const std::string out = dir_.file("out.mp4");
  ASSERT_TRUE(client_.send(StartTask(61, taskId, Item(2, graph), "", out)));
  // "starttask" has no reply: the next answer is the state's.
  State first = state(62, taskId);
  ASSERT_TRUE(first.ok) << first.text;
  ASSERT_FALSE(first.error) << "starttask failed: " << first.text;
  EXPECT_TRUE(pushed_.empty());

  // Progress never goes back until the notice comes.
  std::vector<int> progress{first.progress};
  for (int i = 0; i < 600 && count(Notice(61, taskId)) == 0; ++i) {
    State now = state(63, taskId);
    ASSERT_TRUE(now.ok) << now.text;
    EXPECT_FALSE(now.error) << now.text;
    progress.push_back(now.progress);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_TRUE(waitForNotice(Notice(61, taskId))) << "no completion notice";
  EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end())) << ::testing::PrintToString(progress);

  // The last status, with this request's sid and the id at the end.
  State last = state(64, taskId);
  EXPECT_FALSE(last.error) << last.text;
  EXPECT_EQ(last.progress, 100) << last.text;
  const std::string tail = ",\"sid\":64,\"taskId\":5550001}";
  ASSERT_GE(last.text.size(), tail.size());
  EXPECT_EQ(last.text.substr(last.text.size() - tail.size()), tail) << last.text;

  // The id stays taken, and no second notice comes.
  EXPECT_EQ(ask(StartTask(65, taskId, Item(2, graph), "", out), 65),
            "{\"sid\":65,\"error\":true,\"errorCode\":6511,\"errorDetail\":\"repeated task id\"}");
  drainTicks();
  EXPECT_EQ(count(Notice(61, taskId)), 1) << ::testing::PrintToString(pushed_);

  ProbeInfo info = probe(out);
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_EQ(info.width, 160);
  EXPECT_EQ(info.count("video"), 1);
  EXPECT_EQ(info.count("audio"), 1);
  EXPECT_NEAR(info.duration, 3.0, 0.3);
}

TEST_F(TaskE2eTest, RunningAbortIsNoticedQueuedAbortIsNot) {
  // The running task reads its input at its own pace (-re), so it is still
  // running whenever the test gets to it.
  const std::string slowClip = dir_.file("slow.mp4");
  ClipSpec recipe;
  recipe.seconds = 30;
  makeClip(slowClip, recipe);
  const uint64_t running = 5560001;
  const uint64_t queued = 5560002;
  ASSERT_TRUE(client_.send(StartTask(71, running, Item(1, slowClip, "-re"), "-vf scale=80:60", dir_.file("a.mp4"))));
  ASSERT_TRUE(client_.send(StartTask(72, queued, Item(1, clip_), "-vf scale=80:60", dir_.file("b.mp4"))));

  // Rising progress of the running task.
  std::vector<int> progress;
  for (int i = 0; i < 300; ++i) {
    State now = state(73, running);
    ASSERT_TRUE(now.ok) << now.text;
    ASSERT_FALSE(now.error) << now.text;
    progress.push_back(now.progress);
    if (now.progress > 0 && now.progress > progress.front() && progress.size() > 2) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end())) << ::testing::PrintToString(progress);
  ASSERT_GT(progress.back(), progress.front()) << ::testing::PrintToString(progress);
  ASSERT_LT(progress.back(), 100);
  State queuedState = state(74, queued);
  EXPECT_FALSE(queuedState.error) << queuedState.text;
  EXPECT_EQ(queuedState.progress, 0) << "waits behind the running task: " << queuedState.text;

  // Aborts have no reply of their own: the next answer is the ping's.
  ASSERT_TRUE(client_.send("{\"sid\":75,\"op\":\"aborttask\",\"taskId\":5560002}"));
  ASSERT_TRUE(client_.send("{\"sid\":76,\"op\":\"aborttask\",\"taskId\":5560001}"));
  EXPECT_EQ(ask("{\"sid\":77,\"op\":\"ping\"}", 77), "{\"sid\":77,\"pong\":\"ok\"}");

  ASSERT_TRUE(waitForNotice(Notice(71, running))) << ::testing::PrintToString(pushed_);
  // The queued task is erased with one abort report, which only the state shows.
  State aborted;
  for (int i = 0; i < 300; ++i) {
    aborted = state(78, queued);
    if (aborted.errorCode == 6514) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(aborted.error) << aborted.text;
  EXPECT_EQ(aborted.errorCode, 6514) << aborted.text;
  drainTicks();
  EXPECT_EQ(count(Notice(71, running)), 1) << ::testing::PrintToString(pushed_);
  EXPECT_EQ(count(Notice(72, queued)), 0) << ::testing::PrintToString(pushed_);
}

TEST_F(TaskE2eTest, FailingTaskShowsItsErrorInTheState) {
  const std::string broken = dir_.file("broken.mp4");
  writeFile(broken, "this is not a video");
  const uint64_t taskId = 5570001;
  ASSERT_TRUE(client_.send(StartTask(81, taskId, Item(1, broken), "-vf scale=80:60", dir_.file("c.mp4"))));
  ASSERT_TRUE(waitForNotice(Notice(81, taskId))) << ::testing::PrintToString(pushed_);
  State failed = state(82, taskId);
  ASSERT_TRUE(failed.ok) << failed.text;
  EXPECT_TRUE(failed.error) << failed.text;
  EXPECT_NE(failed.errorCode, 0) << failed.text;
}

// A subtitle file added as a stream to a convert that filters the picture
// through an unlabelled graph: the output keeps the sound beside the filtered
// picture and the subtitles.
TEST_F(TaskE2eTest, SubtitleStreamAddedToAFilteredConvertKeepsTheSound) {
  const std::string subtitle = dir_.file("sub.srt");
  writeFile(subtitle, "1\n00:00:00,000 --> 00:00:02,000\nHELLO\n\n");
  const std::string converted = processGraph("convert", ProcessItem(1, clip_, 4), "-vf scale=166:126", "-c:v libx264");
  ASSERT_FALSE(converted.empty());
  const std::string subtitled =
      processGraph("addSubtitleToFile", ProcessItem(2, converted, 4) + "," + ProcessItem(1, subtitle, 0), "");
  ASSERT_FALSE(subtitled.empty());

  const uint64_t taskId = 5580001;
  const std::string out = dir_.file("subtitled.mp4");
  ASSERT_TRUE(client_.send(StartTask(101, taskId, Item(2, subtitled), "", out)));
  ASSERT_TRUE(waitForNotice(Notice(101, taskId))) << ::testing::PrintToString(pushed_);
  State done = state(102, taskId);
  EXPECT_FALSE(done.error) << done.text;
  ProbeInfo info = probe(out);
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_EQ(info.count("video"), 1);
  EXPECT_EQ(info.count("audio"), 1);
  EXPECT_EQ(info.count("subtitle"), 1);
  EXPECT_EQ(info.width, 166);
  EXPECT_NEAR(info.duration, 4.0, 0.3);
}

TEST_F(TaskE2eTest, ReconnectedClientFindsItsEarlierTasksDetached) {
  const std::string graph = cutGraph("-ss 0 -to 1");
  ASSERT_FALSE(graph.empty());
  TestClient keeper;  // keeps the daemon alive while client_ reconnects
  connect(keeper);
  ASSERT_TRUE(client_.send(StartTask(91, 5550002, Item(2, graph), "", dir_.file("out2.mp4"))));
  State started = state(92, 5550002);
  ASSERT_FALSE(started.error) << "starttask failed: " << started.text;
  client_.close();

  TestClient again;
  connect(again);
  EXPECT_NE(
      again.request("{\"sid\":93,\"op\":\"gettaskstate\",\"taskId\":5550002}").value_or("").find("\"progress\":100"),
      std::string::npos);
  EXPECT_EQ(again.request("{\"sid\":94,\"op\":\"aborttask\",\"taskId\":5550002}").value_or(""),
            "{\"sid\":94,\"error\":true,\"errorCode\":6512,\"errorDetail\":\"task id do not exist\"}");
  again.close();
  keeper.close();
}

}  // namespace
}  // namespace qel::test
