// A slow request holds only its own connection: while one client's probe is
// stuck, other clients (new ones included) are answered, and the engine stays
// free for them; files that are not regular files are refused before any
// probe can get stuck on them.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <filesystem>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "QelApi/QelDaemon/daemon_fixture.h"
#include "QelApi/QelDaemon/probe_gate.h"

namespace qel::test {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::seconds;

std::string Quote(const std::string& text) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.String(text.c_str(), static_cast<rapidjson::SizeType>(text.size()));
  return buffer.GetString();
}

std::string PropsRequest(int sid, const std::string& path) {
  return "{\"sid\":" + std::to_string(sid) + ",\"op\":\"getmediaprops\",\"path\":" + Quote(path) + "}";
}

std::string ConvertRequest(int sid, const std::string& path) {
  return "{\"sid\":" + std::to_string(sid) +
         ",\"op\":\"process\",\"operation\":{\"input\":[{\"type\":1,\"value\":" + Quote(path) +
         ",\"duration\":1}],\"transform\":\"-vf scale=80:60\",\"description\":\"convert\"}}";
}

// The daemon's ffprobe is the gated stand-in.
class SlowProbeE2eTest : public DaemonFixture {
 protected:
  std::string ffprobeTarget() override { return binDir() + "/qel_gated_ffprobe"; }

  void SetUp() override {
    DaemonFixture::SetUp();
    if (HasFatalFailure()) return;
    clip_ = dir_.file("clip.mp4");
    makeClip(clip_);
    gate_.emplace(settings_.ffmpegFolder);
  }

  void TearDown() override {
    gate_.reset();
    DaemonFixture::TearDown();
  }

  // Sends `slowRequest` on one connection, waits until its probe is stuck,
  // then expects `otherRequest` on a new connection to get `otherReply`
  // while the probe still waits; finally lets the probe answer and returns
  // the slow request's reply.
  std::string checkOthersAreServed(const std::string& slowRequest, const std::string& otherRequest,
                                   const std::string& otherReply) {
    // Connected first: a connect has no time limit of its own.
    TestClient other;
    connect(other);
    TestClient slow;
    connect(slow);
    EXPECT_TRUE(slow.send(slowRequest));
    EXPECT_TRUE(gate_->waitStarted(seconds(30))) << "the probe never started";

    const auto sent = std::chrono::steady_clock::now();
    // Generous bound: the probe is held until this reply is in, so the reply
    // can only come from a server that does not wait for it.
    auto reply = other.request(otherRequest, seconds(20));
    const auto took = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - sent);
    EXPECT_EQ(reply.value_or("<no reply while the probe waits>"), otherReply);
    RecordProperty("reply_microseconds_during_probe", static_cast<int>(took.count()));
    other.close();

    gate_->release();
    std::string slowReply = slow.receive(seconds(30)).value_or("");
    slow.close();
    return slowReply;
  }

  std::string clip_;
  std::optional<ProbeGate> gate_;
};

TEST_F(SlowProbeE2eTest, PingIsAnsweredWhileAnotherClientsProbeWaits) {
  std::string slowReply =
      checkOthersAreServed(PropsRequest(1, clip_), "{\"sid\":2,\"op\":\"ping\"}", "{\"sid\":2,\"pong\":\"ok\"}");
  // The stand-in reports no streams: refused as a movie without any.
  EXPECT_EQ(slowReply, "{\"sid\":1,\"error\":true,\"errorCode\":6519,\"errorDetail\":\"get media props failed\"}");
}

TEST_F(SlowProbeE2eTest, ProcessProbesOutsideTheEngineMutex) {
  // "cleancache" needs the engine's mutex, which a "process" request must not
  // hold while its files are probed.
  std::string slowReply = checkOthersAreServed(ConvertRequest(1, clip_), "{\"sid\":2,\"op\":\"cleancache\"}",
                                               "{\"sid\":2,\"error\":false,\"errorCode\":0,\"errorDetail\":\"\"}");
  EXPECT_EQ(slowReply.rfind("{\"sid\":1,\"error\":true,", 0), 0u) << slowReply;
}

// With the real ffprobe: what is not a regular file is refused before ffprobe
// could wait on it (a FIFO without a writer would hold it for its whole time
// limit).
using NonRegularFileE2eTest = DaemonFixture;

TEST_F(NonRegularFileE2eTest, GetMediaPropsAndProcessRefuseThemAtOnce) {
  const std::string fifo = dir_.file("pipe.mp4");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string folder = dir_.file("folder.mp4");
  fs::create_directories(folder);
  TestClient client;
  connect(client);
  int sid = 10;
  for (const std::string& path : {fifo, folder, std::string("/dev/null")}) {
    SCOPED_TRACE(path);
    ++sid;
    EXPECT_EQ(client.request(PropsRequest(sid, path), seconds(20)).value_or("<no reply>"),
              "{\"sid\":" + std::to_string(sid) +
                  ",\"error\":true,\"errorCode\":6518,\"errorDetail\":\"unsupport file format\"}");
    ++sid;
    std::string reply = client.request(ConvertRequest(sid, path), seconds(20)).value_or("<no reply>");
    EXPECT_EQ(reply.rfind("{\"sid\":" + std::to_string(sid) + ",\"error\":true,", 0), 0u) << reply;
  }
  client.close();
}

}  // namespace
}  // namespace qel::test
