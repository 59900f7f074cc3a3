#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "common/subprocess.h"
#include "common/text_convert.h"
#include "qelrecorder/redirector.h"
#include "qelrecorder/recorder_test_util.h"
#include "support/test_support.h"

namespace qelrec {
namespace {

using Clock = std::chrono::steady_clock;

TEST(ParseClockText, FieldsToMilliseconds) {
  const std::pair<const wchar_t*, int> cases[] = {
      {L"00:01:02.50", 62500},    {L"00:00:10.00", 10000}, {L"01:00:00.01", 3600010},
      {L"10:20:30.99", 37230990}, {L"garbage", 0},         {L"00:00", 0},
  };
  for (const auto& [text, ms] : cases) EXPECT_EQ(ParseClockTextMs(text), ms) << qel::wideToUtf8(text);
}

struct Progress {
  std::mutex mutex;
  std::vector<std::pair<int64_t, int>> reports;
  static void callback(void* writer, int64_t bytes, int ms) {
    auto* self = static_cast<Progress*>(writer);
    std::lock_guard<std::mutex> lock(self->mutex);
    self->reports.emplace_back(bytes, ms);
  }
  std::vector<std::pair<int64_t, int>> get() {
    std::lock_guard<std::mutex> lock(mutex);
    return reports;
  }
};

TEST(CmdEncoderProgress, SizeAndTimeArePickedOutOfAPiece) {
  struct Case {
    const wchar_t* piece;
    bool reported;
    int64_t bytes;
    int ms;
  };
  const Case cases[] = {
      {L"frame=  300 fps= 30 q=-1.0 size=    2048kB time=00:00:10.00 bitrate=1677.7kbits/s", true, 2097152, 10000},
      {L"size=N/A time=00:00:01.00 bitrate=N/A", false, 0, 0},
      // Beyond 2 GiB the byte count stays positive and whole.
      {L"size= 3145728kB time=01:00:00.00", true, int64_t{3145728} * 1024, 3600000},
      {L"Stream mapping: rawvideo -> libx264", false, 0, 0},
  };
  for (const Case& c : cases) {
    Progress progress;
    CCmdEncoder encoder;
    encoder.SetProgressTarget(&progress, &Progress::callback);
    encoder.WriteStdOutput(c.piece);
    const auto got = progress.get();
    ASSERT_EQ(got.size(), c.reported ? 1u : 0u) << qel::wideToUtf8(c.piece);
    if (c.reported) {
      EXPECT_EQ(got[0].first, c.bytes);
      EXPECT_EQ(got[0].second, c.ms);
    }
  }
  // Without a writer nothing is reported (and nothing breaks).
  CCmdEncoder bare;
  bare.WriteStdOutput(L"size=    2048kB time=00:00:10.00");
}

std::wstring ffmpegRawInput(const std::string& output, int w, int h) {
  return qel::utf8ToWide("\"" + qel::test::ffmpegPath() + "\" -f rawvideo -pix_fmt yuv420p -video_size " +
                         std::to_string(w) + "x" + std::to_string(h) +
                         " -r 25 -i pipe:0 -c:v libx264 -preset ultrafast -y \"" + output + "\"");
}

// The real ffmpeg reads raw pictures from the input pipe; Close(true) lets it
// finish the file, and its progress arrives in bytes and milliseconds.
TEST(RedirectorWithFfmpeg, CloseWithWaitLeavesACompleteFileAndProgressArrives) {
  qel::blockSigpipeInThisThread();
  qel::test::TempDir dir;
  const std::string output = dir.file("pipe out.h264");
  Progress progress;
  test::LogCollector log;
  CCmdEncoder encoder;
  encoder.SetProgressTarget(&progress, &Progress::callback);
  ASSERT_TRUE(encoder.Open(ffmpegRawInput(output, 64, 48))) << log.dump();
  EXPECT_TRUE(encoder.HasProcess());
  const std::string picture(64 * 48 * 3 / 2, '\x80');
  for (int i = 0; i < 50; ++i) ASSERT_TRUE(encoder.WriteInput(picture.data(), picture.size()));
  encoder.Close(true);
  EXPECT_FALSE(encoder.HasProcess());
  EXPECT_EQ(encoder.ExitCode(), 0) << log.dump();
  EXPECT_EQ(test::countVideoFrames(output), 50);
  const auto reports = progress.get();
  ASSERT_FALSE(reports.empty()) << log.dump();
  // ffmpeg's last report is the whole file: two seconds of 25 frames per second.
  EXPECT_GT(reports.back().first, 0);
  EXPECT_GE(reports.back().second, 1900);
  EXPECT_LE(reports.back().second, 2000);
  EXPECT_EQ(log.count("Redirect console error"), 0);
}

TEST(RedirectorWithFfmpeg, MissingProgramLogsOneErrorAndFails) {
  test::LogCollector log;
  CCmdEncoder encoder;
  EXPECT_FALSE(encoder.Open(L"\"/nonexistent/folder/ffmpeg\" -version"));
  EXPECT_FALSE(encoder.HasProcess());
  const auto lines = log.lines();
  ASSERT_EQ(lines.size(), 1u) << log.dump();
  EXPECT_EQ(lines[0].text, "output Redirect console error: 2\r\n\n.");
  EXPECT_EQ(lines[0].function, "CCmdEncoder::WriteStdError");
  encoder.Close(true);  // closing again is harmless
}

TEST(RedirectorWithFfmpeg, CloseWithoutWaitEndsAChildThatIsStillReading) {
  qel::test::TempDir dir;
  CCmdEncoder encoder;
  ASSERT_TRUE(encoder.Open(ffmpegRawInput(dir.file("never.h264"), 64, 48)));
  const pid_t pid = encoder.ProcessId();
  const auto start = Clock::now();
  encoder.Close(false);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
  EXPECT_FALSE(encoder.HasProcess());
  EXPECT_FALSE(encoder.ReaderRunning());
  EXPECT_NE(::kill(pid, 0), 0) << "the child was not reaped";
}

TEST(RedirectorWithFfmpeg, DestroyingARunningEncoderLeavesNoChild) {
  qel::test::TempDir dir;
  pid_t pid = 0;
  {
    CCmdEncoder encoder;
    ASSERT_TRUE(encoder.Open(ffmpegRawInput(dir.file("left.h264"), 64, 48)));
    pid = encoder.ProcessId();
  }
  EXPECT_NE(::kill(pid, 0), 0);
}

}  // namespace
}  // namespace qelrec
