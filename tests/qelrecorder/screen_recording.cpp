#include <gtest/gtest.h>

#include <libyuv.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture/modules/desktop_capture/desktop_frame.h"
#include "common/subprocess.h"
#include "common/text_convert.h"
#include "platform/audio/audio_client.h"
#include "platform/audio/sim_audio.h"
#include "platform/core/backing.h"
#include "platform/core/faults.h"
#include "platform/core/mm_timer.h"
#include "platform/core/os_version.h"
#include "platform/display/display.h"
#include "platform/display/sim_display.h"
#include "qelrecorder/capture_controller.h"
#include "qelrecorder/record_settings.h"
#include "qelrecorder/screen_recorder.h"
#include "qelrecorder/text16.h"
#include "support/pulse_server.h"
#include "qelrecorder/recorder_test_util.h"
#include "support/test_support.h"

namespace qelrec {
namespace {

TEST(FrameRate, RepeatCountsFollowTheMeasuredTimerRate) {
  // Counter at 10 MHz: 33 ms = 330000 units.
  struct Case {
    const char* what;
    std::vector<int64_t> deltas;  // counter units between ticks, after the first tick
    float target;
    std::vector<unsigned> repeats;
  };
  const Case cases[] = {
      // A period a hair longer than 1/30 s measures just under 30 per second.
      {"exact period", {333334, 333334, 333334}, 30.0f, {1, 1, 1}},
      // A hair shorter measures just over 30: the step stays under 1 and the
      // accumulator drops a frame, as the design's float arithmetic does.
      {"a hair early", {333333, 333333, 333333}, 30.0f, {0, 1, 1}},
      {"a late tick of two periods", {333334, 666668, 333334}, 30.0f, {1, 2, 1}},
      {"early ticks are skipped", {166667, 166667, 166667, 166666}, 30.0f, {0, 1, 0, 1}},
      {"24 fps on a 30 fps timer", {333334, 333334, 333334, 333334, 333334}, 24.0f, {0, 1, 1, 1, 1}},
      {"a counter that does not move", {0, 0}, 30.0f, {1, 1}},
  };
  for (const Case& c : cases) {
    CFrameRate rate;
    ASSERT_EQ(rate.m_frequency, 10000000u);
    rate.Reset();
    std::atomic<float> measured{0.0f};
    int64_t now = 1000000;
    EXPECT_EQ(rate.Tick(now, c.target, measured), 1u) << c.what << ": the first tick always captures";
    std::vector<unsigned> got;
    for (int64_t d : c.deltas) got.push_back(rate.Tick(now += d, c.target, measured));
    EXPECT_EQ(got, c.repeats) << c.what;
  }
  // 33 ms ticks at 30 fps: a measured rate of about 30.3 and one tick in about a
  // hundred that stands for no frame.
  CFrameRate rate;
  std::atomic<float> measured{0.0f};
  int64_t now = 1;
  rate.Tick(now, 30.0f, measured);
  unsigned frames = 0;
  for (int i = 0; i < 300; ++i) frames += rate.Tick(now += 330000, 30.0f, measured);
  EXPECT_NEAR(measured.load(), 30.3f, 0.01f);
  EXPECT_EQ(frames, 297u);
}

// A screen capturer of the tests: every frame is the monitor's picture, a
// gradient that differs per pixel, so a wrong crop shows.
struct FakeScreen {
  static inline std::atomic<int> width{1280};
  static inline std::atomic<int> height{720};
  static inline std::atomic<int> stridePadding{0};  // extra bytes per row
  static inline std::atomic<int> failEvery{0};      // every n-th frame a temporary error
  static inline std::atomic<int> frames{0};

  static uint32_t pixel(int x, int y) {
    return 0xFF000000u | static_cast<uint32_t>((x * 7 + y * 3) & 0xFF) << 16 |
           static_cast<uint32_t>((x + y * 5) & 0xFF) << 8 | static_cast<uint32_t>((x * 3 + y) & 0xFF);
  }
};

class FakeCapturer : public capture::DesktopCapturer {
 public:
  void BeginCapture(Callback* callback) override { callback_ = callback; }
  bool ChooseSource(int64_t) override { return true; }
  void CaptureFrame() override {
    const int n = ++FakeScreen::frames;
    if (FakeScreen::failEvery > 0 && n % FakeScreen::failEvery == 0) {
      callback_->OnCaptureResult(capture::CaptureResult::TemporaryError, nullptr);
      return;
    }
    callback_->OnCaptureResult(capture::CaptureResult::Success, Make());
  }
  static std::unique_ptr<capture::DesktopFrame> Make() {
    const int w = FakeScreen::width;
    const int h = FakeScreen::height;
    // A frame with padded rows when asked, through a wider heap frame.
    const int padded = w + FakeScreen::stridePadding / 4;
    auto frame = std::make_unique<capture::HeapDesktopFrame>(capture::DesktopExtent{padded, h});
    for (int y = 0; y < h; ++y) {
      auto* row = reinterpret_cast<uint32_t*>(frame->data() + static_cast<ptrdiff_t>(frame->stride()) * y);
      for (int x = 0; x < padded; ++x) row[x] = FakeScreen::pixel(x, y);
    }
    return frame;
  }
  static std::unique_ptr<capture::DesktopCapturer> MakeIt(const capture::CapturerOptions&) {
    return std::make_unique<FakeCapturer>();
  }

 private:
  Callback* callback_ = nullptr;
};

platform::ui::MonitorInfoEx monitorAt(int left, int top, int width, int height) {
  platform::ui::MonitorInfoEx m;
  m.rcMonitor = {left, top, left + width, top + height};
  m.rcWork = m.rcMonitor;
  WideToU16(L"fake", m.szDevice);
  return m;
}

class ScreenRecording : public ::testing::Test {
 protected:
  void SetUp() override {
    qel::blockSigpipeInThisThread();
    FakeScreen::width = 1280;
    FakeScreen::height = 720;
    FakeScreen::stridePadding = 0;
    FakeScreen::failEvery = 0;
    FakeScreen::frames = 0;
    platform::forceBacking("audio", platform::Backing::Simulated);
    platform::audio::ReselectAudioBacking();
    platform::audio::ResetSimAudio();
    CRecordSettings::Destroy();
    CRecordSettings& s = CRecordSettings::Get();
    WideToU16(qel::utf8ToWide(dir.path()), s.m_szTmpDir);
    WideToU16(L"screen", s.m_szProcessName);
    s.m_strFFmpegDir = qel::utf8ToWide(qel::test::binDir());
    s.m_strExtraArgs = L" -preset ultrafast";
  }
  void TearDown() override {
    made.reset();
    CRecordSettings::Destroy();
    platform::resetFaults();
    platform::ResetOsVersion();
    platform::audio::ResetSimAudio();
    platform::clearForcedBacking("audio");
    platform::audio::ReselectAudioBacking();
  }
  // The fixture's recorder, its capturers made by `maker`.
  CScreenRecorder& Recorder(CapturerMaker maker = &FakeCapturer::MakeIt) {
    if (!made) made = std::make_unique<CScreenRecorder>(maker);
    return *made;
  }
  // What the dialog starts a recording with: the settings as they are now.
  static RecordConfig config() { return CRecordSettings::Get().TakeConfig(); }
  std::string videoPath() { return qel::wideToUtf8(made->Results().VideoPath()); }
  std::string audioPath() { return qel::wideToUtf8(made->Results().AudioPath()); }

  qel::test::TempDir dir;
  std::unique_ptr<CScreenRecorder> made;
};

TEST_F(ScreenRecording, ThreeSecondsGiveNinetyFramesAndThreeSecondsOfFlac) {
  test::LogCollector log;
  CScreenRecorder& recorder = Recorder();
  const auto monitor = monitorAt(0, 0, 1280, 720);
  const auto begin = std::chrono::steady_clock::now();
  ASSERT_TRUE(recorder.StartRecording(config(), nullptr, monitor, {100, 100, 741, 581}, 0, true)) << log.dump();
  ASSERT_NE(recorder.AudioCapturer(), nullptr);
  std::this_thread::sleep_for(std::chrono::seconds(3));
  recorder.Stop();
  const double whole = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  EXPECT_FALSE(recorder.m_bRecording);
  // The 641 x 481 region is recorded as 640 x 480.
  const auto video = qel::test::probe(videoPath());
  ASSERT_TRUE(video.ok) << video.error << log.dump();
  EXPECT_EQ(video.codecNames, std::vector<std::string>{"h264"});
  EXPECT_EQ(video.width, 640);
  EXPECT_EQ(video.height, 480);
  const int frames = test::countVideoFrames(videoPath());
  EXPECT_GE(frames, 80);
  EXPECT_LE(frames, 100);
  const auto audio = qel::test::probe(audioPath());
  ASSERT_TRUE(audio.ok) << audio.error;
  EXPECT_EQ(audio.codecNames, std::vector<std::string>{"flac"});
  // The audio runs from before the video starts to after it has stopped (the
  // designed order): 3 s plus the time ffmpeg took to start and finish, which
  // on an idle machine keeps it within 3 s +- 0.3 s.
  EXPECT_GE(audio.duration, 2.7);
  EXPECT_LE(audio.duration, whole + 0.1);
  EXPECT_GT(recorder.Results().videoDurationMs.load(), 2500);
  EXPECT_GT(recorder.Results().measuredFps.load(), 20.0f);
  EXPECT_EQ(log.count("stop m_pCaptureController..."), 1);
  EXPECT_EQ(log.count("success."), 1);
}

TEST_F(ScreenRecording, StartFailuresAreReportedAndTheStopStillWorks) {
  struct Case {
    const char* what;
    platform::ui::Rect region;
    float fps;
    bool failTimer;
    std::wstring ffmpegDir;
    const char* logged;
  };
  const Case cases[] = {
      {"too small", {0, 0, 8, 100}, 30.0f, false, L"", "Video Window Size TOO SMALL."},
      {"fps 0", {0, 0, 320, 240}, 0.0f, false, L"", "Capture timer could not be started"},
      {"timer refused", {0, 0, 320, 240}, 30.0f, true, L"", "Capture timer could not be started"},
      {"ffmpeg missing", {0, 0, 320, 240}, 30.0f, false, L"/nonexistent", "Cant init video stream writer"},
  };
  for (const Case& c : cases) {
    test::LogCollector log;
    CRecordSettings& s = CRecordSettings::Get();
    s.m_fTargetFps = c.fps;
    s.m_strFFmpegDir = c.ffmpegDir.empty() ? qel::utf8ToWide(qel::test::binDir()) : c.ffmpegDir;
    if (c.failTimer) platform::fail(platform::kTimeSetEventCall, platform::Fault{});
    const int timersBefore = platform::LiveTimerCount();
    CScreenRecorder& recorder = Recorder();
    EXPECT_FALSE(recorder.StartRecording(config(), nullptr, monitorAt(0, 0, 1280, 720), c.region, 0, false)) << c.what;
    EXPECT_EQ(log.count(c.logged), 1) << c.what << "\n" << log.dump();
    recorder.Stop();
    EXPECT_EQ(platform::LiveTimerCount(), timersBefore) << c.what;
    platform::resetFaults();
  }
}

TEST_F(ScreenRecording, StopBeforeTheFirstTickDoesNotWait) {
  // The first tick would come after 999999 ms: a stop that waited for it
  // would never return within the test's time.
  CRecordSettings::Get().m_fTargetFps = 0.001f;
  CScreenRecorder& recorder = Recorder();
  ASSERT_TRUE(recorder.StartRecording(config(), nullptr, monitorAt(0, 0, 1280, 720), {0, 0, 64, 48}, 0, false));
  recorder.Stop();
  EXPECT_EQ(FakeScreen::frames.load(), 0);
  recorder.Stop();  // a second stop has nothing left to do
}

TEST_F(ScreenRecording, OldSystemRecordsWithoutAudio) {
  test::LogCollector log;
  platform::SetOsVersion({10, 0, 18363});
  CScreenRecorder& recorder = Recorder();
  recorder.Init(config(), nullptr, monitorAt(0, 0, 1280, 720), {0, 0, 64, 48}, 0, true);
  EXPECT_EQ(recorder.AudioCapturer(), nullptr);
  EXPECT_EQ(log.count("OS Version: 18363"), 1) << log.dump();
  platform::SetOsVersion({11, 0, 100});  // a later major version passes without the line
  recorder.Init(config(), nullptr, monitorAt(0, 0, 1280, 720), {0, 0, 64, 48}, 0, true);
  EXPECT_NE(recorder.AudioCapturer(), nullptr);
  EXPECT_EQ(log.count("OS Version"), 1);
  recorder.Stop();
}

// A region on a second monitor at (1920, 0) is cropped from that monitor's
// frame at (left - 1920, top): the picture the writer sends is libyuv's
// conversion of exactly that rectangle, also with padded frame rows.
TEST_F(ScreenRecording, CropOnASecondMonitorEqualsTheExpectedRectangle) {
  for (int padding : {0, 64}) {
    FakeScreen::width = 800;
    FakeScreen::height = 600;
    FakeScreen::stridePadding = padding;
    CRecordSettings::Get().m_fTargetFps = 10.0f;
    const platform::ui::Rect region{1920 + 120, 40, 1920 + 120 + 160, 40 + 96};
    CScreenRecorder& recorder = Recorder();
    recorder.Init(config(), nullptr, monitorAt(1920, 0, 800, 600), region, 0, false);
    std::mutex mutex;
    std::string first;
    recorder.Controller()->SetPictureObserver([&](const uint8_t* picture, size_t bytes) {
      std::lock_guard<std::mutex> lock(mutex);
      if (first.empty()) first.assign(reinterpret_cast<const char*>(picture), bytes);
    });
    ASSERT_TRUE(recorder.Controller()->Start());
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    recorder.Stop();

    auto frame = FakeCapturer::Make();
    std::string expected(160 * 96 * 3 / 2, '\0');
    auto* y = reinterpret_cast<uint8_t*>(expected.data());
    libyuv::ARGBToI420(frame->data() + 40 * frame->stride() + 120 * 4, frame->stride(), y, 160, y + 160 * 96, 80,
                       y + 160 * 96 + 80 * 48, 80, 160, 96);
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(first.size(), expected.size()) << "padding " << padding;
    EXPECT_TRUE(first == expected) << "padding " << padding;
  }
}

// Through the capture layer's own factory on the simulated display: a region
// on the second monitor at (1920, 0) is cropped from that monitor's picture.
TEST_F(ScreenRecording, CropOnTheSimulatedSecondMonitor) {
  platform::display::SelectBacking(platform::Backing::Simulated);
  platform::display::sim::Reset();
  platform::display::sim::SetDevices({platform::display::sim::MakeDevice(0, {0, 0, 1920, 1080}, true),
                                      platform::display::sim::MakeDevice(1, {1920, 0, 1920 + 800, 600})});
  for (int y = 0; y < 600; ++y) {
    for (int x = 0; x < 800; ++x) platform::display::sim::SetPixel(1, x, y, FakeScreen::pixel(x, y));
  }
  platform::ui::MonitorInfoEx monitor = monitorAt(1920, 0, 800, 600);
  WideToU16(platform::display::sim::Devices()[1].name, monitor.szDevice);
  CRecordSettings::Get().m_fTargetFps = 10.0f;
  CScreenRecorder& recorder = Recorder(kScreenCapturerFactory);  // the real factory
  recorder.Init(config(), nullptr, monitor, {1920 + 120, 40, 1920 + 280, 136}, 0, false);
  std::mutex mutex;
  std::string first;
  recorder.Controller()->SetPictureObserver([&](const uint8_t* picture, size_t bytes) {
    std::lock_guard<std::mutex> lock(mutex);
    if (first.empty()) first.assign(reinterpret_cast<const char*>(picture), bytes);
  });
  ASSERT_TRUE(recorder.Controller()->Start());
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  recorder.Stop();

  FakeScreen::width = 800;
  FakeScreen::height = 600;
  auto frame = FakeCapturer::Make();
  std::string expected(160 * 96 * 3 / 2, '\0');
  auto* y = reinterpret_cast<uint8_t*>(expected.data());
  libyuv::ARGBToI420(frame->data() + 40 * frame->stride() + 120 * 4, frame->stride(), y, 160, y + 160 * 96, 80,
                     y + 160 * 96 + 80 * 48, 80, 160, 96);
  std::lock_guard<std::mutex> lock(mutex);
  ASSERT_EQ(first.size(), expected.size());
  EXPECT_TRUE(first == expected);
  platform::display::sim::Reset();
}

TEST_F(ScreenRecording, RegionOffItsMonitorIsLoggedOncePerRun) {
  test::LogCollector log;
  FakeScreen::width = 320;
  FakeScreen::height = 240;
  CRecordSettings::Get().m_fTargetFps = 50.0f;
  CScreenRecorder& recorder = Recorder();
  ASSERT_TRUE(recorder.StartRecording(config(), nullptr, monitorAt(0, 0, 320, 240), {200, 100, 400, 200}, 0, false));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  recorder.Stop();
  EXPECT_GT(FakeScreen::frames.load(), 3);
  EXPECT_EQ(log.count("is not inside the frame"), 1) << log.dump();
}

TEST_F(ScreenRecording, CaptureErrorsAreLoggedAndSkipped) {
  test::LogCollector log;
  FakeScreen::failEvery = 2;
  FakeScreen::width = 320;
  FakeScreen::height = 240;
  CRecordSettings::Get().m_fTargetFps = 50.0f;
  CScreenRecorder& recorder = Recorder();
  ASSERT_TRUE(recorder.StartRecording(config(), nullptr, monitorAt(0, 0, 1280, 720), {0, 0, 64, 48}, 0, false));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  recorder.Stop();
  EXPECT_GE(log.count("Capture frame failed with error: 1", "WARN"), 2) << log.dump();
  EXPECT_GT(test::countVideoFrames(videoPath()), 0);
}

TEST_F(ScreenRecording, AudioStartFailureStopsWithoutAVideoWriter) {
  test::LogCollector log;
  platform::audio::SimAudioKnobs knobs;
  knobs.activationResult = static_cast<int32_t>(0x80070005u);
  platform::audio::SetSimAudioKnobs(knobs);
  CScreenRecorder& recorder = Recorder();
  EXPECT_FALSE(recorder.StartRecording(config(), nullptr, monitorAt(0, 0, 1280, 720), {0, 0, 64, 48}, 0, true));
  recorder.Stop();
  EXPECT_EQ(log.count("stop m_pAudioCapturer..."), 1) << log.dump();
  EXPECT_TRUE(videoPath().empty());
  EXPECT_TRUE(audioPath().empty());
}

// With the sound server's output: a server that dies mid-recording ends the
// audio cleanly, and the video goes on unharmed to its stop.
TEST_F(ScreenRecording, SoundServerThatDiesLeavesTheVideoUnharmed) {
  test::PulseServer server;
  if (!server.Start()) GTEST_SKIP() << server.error();
  platform::forceBacking("audio", platform::Backing::Real);
  platform::audio::ReselectAudioBacking();
  const std::string tone = dir.file("tone.wav");
  qel::test::ClipSpec spec;
  spec.video = false;
  spec.seconds = 6;
  qel::test::makeClip(tone, spec);
  auto player = test::PlayIntoTestSink(tone);
  if (!player) GTEST_SKIP() << "paplay cannot be started";
  test::LogCollector log;
  FakeScreen::width = 320;
  FakeScreen::height = 240;
  CScreenRecorder& recorder = Recorder();
  ASSERT_TRUE(recorder.StartRecording(config(), nullptr, monitorAt(0, 0, 320, 240), {0, 0, 320, 240}, 0, true))
      << log.dump();
  ASSERT_TRUE(recorder.AudioCapturer()->WaitForBlocks(5, 15000));
  // The video runs once its timer has measured a rate.
  for (int i = 0; i < 150 && recorder.Results().measuredFps.load() == 0.0f; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  server.Stop();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  recorder.Stop();
  const int frames = test::countVideoFrames(videoPath());
  EXPECT_GE(frames, 45) << log.dump();  // the video kept going for the 2 s after the server died
  const auto audio = qel::test::probe(audioPath());
  ASSERT_TRUE(audio.ok) << audio.error;
  EXPECT_EQ(audio.codecNames, std::vector<std::string>{"flac"});
  // The 2 s after the server died are silence in the audio, not a cut.
  EXPECT_GT(audio.duration, 1.9) << log.dump();
  EXPECT_EQ(log.count("The sound server was lost; the audio goes on as silence up to the stop.", "WARN"), 1)
      << log.dump();
  EXPECT_EQ(log.count("FLAC__stream_encoder_finish fail"), 0);
}

}  // namespace
}  // namespace qelrec
