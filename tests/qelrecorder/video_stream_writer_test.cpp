#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <thread>

#include "common/command_line.h"
#include "common/subprocess.h"
#include "common/text_convert.h"
#include "platform/core/faults.h"
#include "platform/core/thread.h"
#include "qelrecorder/record_settings.h"
#include "qelrecorder/text16.h"
#include "qelrecorder/video_stream_writer.h"
#include "qelrecorder/recorder_test_util.h"
#include "support/test_support.h"

namespace qelrec {
namespace {

TEST(VideoBitrate, TableByCodecQualityAndHeight) {
  struct Case {
    int quality;
    const char* codec;
    int height;
    int kbps;
  };
  const Case cases[] = {
      {2, "libx264", 480, 1500},
      {2, "libx264", 1080, 8000},
      {2, "libx264", 720, 4000},
      {0, "libx264", 480, 2500},
      {0, "libx264", 2160, 20000},
      {1, "libx264", 600, 1500},
      {5, "libx264", 1080, 8000},  // any other quality: the default row
      {0, "libx265", 1080, 6000},
      {1, "libx265", 720, 1500},
      {2, "libx265", 520, 1200},
      {2, "LIBX264", 1080, 5000},  // names compare with case: any other codec
      {0, "mpeg4", 100, 5000},
      // Column edges: A = h * (4h/3) passes 345600 between 509 and 510 rows,
      // 518400 between 623 and 624.
      {2, "libx264", 509, 1500},
      {2, "libx264", 510, 2500},
      {2, "libx264", 623, 2500},
      {2, "libx264", 624, 4000},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(GetVideoBitrateKbps(c.quality, c.codec, c.height), c.kbps)
        << c.codec << " q" << c.quality << " h" << c.height;
  }
}

TEST(EncoderCommandLine, ExactTextForBothCodecs) {
  std::wstring line;
  ASSERT_TRUE(BuildEncoderCommandLine(L"/opt/qel", 640, 480, 30, "libx264", 1500, L"", L"/rec/a-1.h264", line));
  EXPECT_EQ(line,
            L"\"/opt/qel/ffmpeg\" -f rawvideo -pix_fmt yuv420p -video_size 640x480 -r 30 -i pipe:0 -c:v libx264 "
            L"-x264-params \"nal-hrd=cbr:force-cfr=1\"  -b:v 1500k -minrate 1500k -maxrate 1500k -bufsize 1500k   "
            L"-y \"/rec/a-1.h264\"");
  ASSERT_TRUE(
      BuildEncoderCommandLine(L"/opt/qel/", 1280, 720, 24, "libx265", 2000, L" -preset fast", L"/r/b.h264", line));
  EXPECT_EQ(line,
            L"\"/opt/qel//ffmpeg\" -f rawvideo -pix_fmt yuv420p -video_size 1280x720 -r 24 -i pipe:0 -c:v libx265  "
            L"-b:v 2000k -minrate 2000k -maxrate 2000k -bufsize 2000k  -preset fast  -y \"/r/b.h264\"");
  // The splitter gives ffmpeg the arguments the text means.
  const auto argv = qel::splitCommandLine(qel::wideToUtf8(line));
  ASSERT_GE(argv.size(), 2u);
  EXPECT_EQ(argv[0], "/opt/qel//ffmpeg");
  EXPECT_EQ(argv.back(), "/r/b.h264");
}

TEST(EncoderCommandLine, RefusedRatherThanCutOrMisquoted) {
  test::LogCollector log;
  std::wstring line = L"x";
  EXPECT_FALSE(BuildEncoderCommandLine(L"/f", 640, 480, 30, "LIBX264", 5000, L"", L"/r/a.h264", line));
  EXPECT_TRUE(line.empty());
  EXPECT_FALSE(
      BuildEncoderCommandLine(L"/f", 640, 480, 30, "libx264", 1500, std::wstring(900, L'x'), L"/r/a.h264", line));
  EXPECT_FALSE(BuildEncoderCommandLine(L"/f\"", 640, 480, 30, "libx264", 1500, L"", L"/r/a.h264", line));
  EXPECT_EQ(log.count("", "ERROR"), 3) << log.dump();
  EXPECT_EQ(log.count("longer than 1023"), 1);
}

// A recording's settings pointing at a temporary folder and the built ffmpeg.
class VideoWriter : public ::testing::Test {
 protected:
  void SetUp() override {
    qel::blockSigpipeInThisThread();
    CRecordSettings::Destroy();
    CRecordSettings& s = CRecordSettings::Get();
    WideToU16(qel::utf8ToWide(dir.path()), s.m_szTmpDir);
    WideToU16(L"ring", s.m_szProcessName);
    s.m_strFFmpegDir = qel::utf8ToWide(qel::test::binDir());
    s.m_strExtraArgs = L" -preset ultrafast";
  }
  void TearDown() override {
    CRecordSettings::Destroy();
    platform::resetFaults();
  }
  // What the dialog starts a recording with: the settings as they are now.
  static RecordConfig config() { return CRecordSettings::Get().TakeConfig(); }
  std::string videoPath() { return qel::wideToUtf8(results.VideoPath()); }

  // Produces `repeats.size()` pictures, picture i flat grey of luma 16 + 2i.
  static void produce(CVideoStreamWriter& writer, const std::vector<int>& repeats) {
    for (size_t i = 0; i < repeats.size(); ++i) {
      capture::VideoFrame* frame = writer.ClaimSlot(repeats[i]);
      ASSERT_NE(frame, nullptr);
      auto buffer = frame->GetBuffer();
      std::memset(buffer->planeY(), 16 + static_cast<int>(2 * (i % 100)),
                  static_cast<size_t>(buffer->pitchY()) * buffer->height());
      std::memset(buffer->planeU(), 128, static_cast<size_t>(buffer->pitchU()) * buffer->chromaHeight());
      std::memset(buffer->planeV(), 128, static_cast<size_t>(buffer->pitchV()) * buffer->chromaHeight());
      writer.CommitSlot();
    }
  }

  qel::test::TempDir dir;
  RecordingResults results;
};

TEST_F(VideoWriter, NinetyPicturesThroughTheRingMakeNinetyFrames) {
  test::LogCollector log;
  CVideoStreamWriter writer(config(), results);
  ASSERT_EQ(writer.Init(320, 240), 0) << log.dump();
  ASSERT_EQ(writer.Start(), S_OK);
  EXPECT_TRUE(writer.ThreadRunning());
  produce(writer, std::vector<int>(90, 1));
  writer.WaitDrained();
  EXPECT_EQ(writer.FillCount(), 0);
  EXPECT_EQ(writer.Stop(), 0);
  EXPECT_EQ(writer.Stop(), 0) << "a second stop returns 0";

  const std::string video = videoPath();
  EXPECT_NE(video.find("/ring-"), std::string::npos);
  EXPECT_EQ(video.substr(video.size() - 5), ".h264");
  const auto info = qel::test::probe(video);
  ASSERT_TRUE(info.ok) << info.error;
  ASSERT_EQ(info.codecNames.size(), 1u);
  EXPECT_EQ(info.codecNames[0], "h264");
  EXPECT_EQ(info.width, 320);
  EXPECT_EQ(info.height, 240);
  EXPECT_EQ(test::countVideoFrames(video), 90);
  // The pictures arrive in order with their content.
  const auto grey = test::decodeLumaPlanes(video, 320, 240, {0, 45, 89});
  ASSERT_EQ(grey.size(), 3u);
  const int expected[] = {16, 16 + 90, 16 + 178};
  for (int k = 0; k < 3; ++k) {
    const int centre = static_cast<unsigned char>(grey[k][120 * 320 + 160]);
    EXPECT_NEAR(centre, expected[k], 3) << "frame " << k;
  }
  EXPECT_GT(writer.EncodedBytes(), 0);
  EXPECT_GT(results.videoDurationMs.load(), 2900);
  EXPECT_EQ(log.count("Init successfullly."), 1);
  EXPECT_EQ(log.count("Encoding video to ("), 1);
}

TEST_F(VideoWriter, RepeatCountsDecideHowOftenAPictureIsWritten) {
  CVideoStreamWriter writer(config(), results);
  ASSERT_EQ(writer.Init(64, 48), 0);
  ASSERT_EQ(writer.Start(), S_OK);
  // 3 + 0 + 2 + 1 + 3 + 0 + 1 = 10 frames, then the same again.
  const std::vector<int> repeats = {3, 0, 2, 1, 3, 0, 1, 3, 0, 2, 1, 3, 0, 1};
  produce(writer, repeats);
  writer.WaitDrained();
  EXPECT_EQ(writer.Stop(), 0);
  EXPECT_EQ(test::countVideoFrames(videoPath()), 20);
}

// A writer that never got its thread still closes ffmpeg when stopped.
TEST_F(VideoWriter, StopWithoutThreadClosesTheEncoder) {
  CVideoStreamWriter writer(config(), results);
  ASSERT_EQ(writer.Init(64, 48), 0);
  EXPECT_TRUE(writer.EncoderRunning());
  EXPECT_EQ(writer.ClaimSlot(1), nullptr);  // no writer thread: nothing to claim
  EXPECT_EQ(writer.Stop(), 1);
  EXPECT_FALSE(writer.EncoderRunning());
  EXPECT_EQ(writer.Stop(), 0);
}

TEST_F(VideoWriter, EncoderThatCannotStartMakesInitReturnOne) {
  struct Case {
    const char* what;
    std::wstring ffmpegDir;
    std::wstring codec;
    const char* logged;
  };
  const Case cases[] = {
      {"missing program", L"/nonexistent/bin", L"libx264", "output Redirect console error: 2"},
      {"codec not handled", L"", L"mpeg4", "is not supported"},
  };
  for (const Case& c : cases) {
    test::LogCollector log;
    CRecordSettings& s = CRecordSettings::Get();
    if (!c.ffmpegDir.empty()) s.m_strFFmpegDir = c.ffmpegDir;
    s.SetCodec(c.codec);
    CVideoStreamWriter writer(config(), results);
    EXPECT_EQ(writer.Init(64, 48), 1) << c.what;
    EXPECT_FALSE(writer.EncoderRunning()) << c.what;
    EXPECT_EQ(log.count(c.logged), 1) << c.what << "\n" << log.dump();
    EXPECT_EQ(log.count("Init successfullly."), 1) << c.what;
  }
}

TEST_F(VideoWriter, ThreadCreationFailureIsReportedWithItsCode) {
  test::LogCollector log;
  CVideoStreamWriter writer(config(), results);
  ASSERT_EQ(writer.Init(64, 48), 0);
  platform::fail(platform::kBeginThreadCall, platform::Fault{platform::kAnyTarget, 0, 1, 8});
  EXPECT_EQ(writer.Start(), static_cast<HRESULT>(0x80070008u));
  EXPECT_FALSE(writer.ThreadRunning());
  EXPECT_EQ(log.count("FAILED to create new thread 0x80070008", "ERROR"), 1) << log.dump();
  EXPECT_EQ(writer.Stop(), 1);
}

// Many small pictures with random repeat counts, produced as fast as possible
// against the writer thread: every picture is written as often as asked, and
// the run is clean under ThreadSanitizer (the tsan build runs this test).
TEST_F(VideoWriter, ProducerAndWriterStress) {
  CVideoStreamWriter writer(config(), results);
  ASSERT_EQ(writer.Init(16, 16), 0);
  ASSERT_EQ(writer.Start(), S_OK);
  std::mt19937 random(7);
  std::vector<int> repeats(1500);
  int total = 0;
  for (int& r : repeats) total += (r = static_cast<int>(random() % 4));
  std::thread producer([&] { produce(writer, repeats); });
  producer.join();
  writer.WaitDrained();
  EXPECT_EQ(writer.Stop(), 0);
  EXPECT_EQ(test::countVideoFrames(videoPath()), total);
}

}  // namespace
}  // namespace qelrec
