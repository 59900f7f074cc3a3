#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "common/subprocess.h"
#include "support/pulse_server.h"
#include "common/text_convert.h"
#include "platform/audio/audio_client.h"
#include "platform/audio/sim_audio.h"
#include "platform/core/backing.h"
#include "platform/core/clock.h"
#include "qelrecorder/LoopbackCapture/audio_capturer.h"
#include "qelrecorder/LoopbackCapture/loopback_capture.h"
#include "qelrecorder/record_settings.h"
#include "qelrecorder/text16.h"
#include "qelrecorder/recorder_test_util.h"
#include "support/test_support.h"

namespace qelrec {
namespace {

using platform::audio::SimAudioKnobs;

// The simulated sound output, a temporary output folder and fresh settings.
class LoopbackAudio : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::forceBacking("audio", platform::Backing::Simulated);
    platform::audio::ReselectAudioBacking();
    platform::audio::ResetSimAudio();
    CRecordSettings::Destroy();
    WideToU16(qel::utf8ToWide(dir.path()), CRecordSettings::Get().m_szTmpDir);
    WideToU16(L"tone", CRecordSettings::Get().m_szProcessName);
  }
  void TearDown() override {
    platform::audio::ResetSimAudio();
    platform::clearForcedBacking("audio");
    platform::audio::ReselectAudioBacking();
    CRecordSettings::Destroy();
  }
  // What the dialog starts a recording with: the settings as they are now.
  static RecordConfig config() { return CRecordSettings::Get().TakeConfig(); }
  std::string audioPath() { return qel::wideToUtf8(results.AudioPath()); }

  int32_t start(CAudioCapturer& capturer) {
    capturer.m_llVideoStartNs = platform::monotonicNanos();
    results.audioOffsetMs = 0;
    return CLoopbackCapture::Instance().StartCapture(static_cast<uint32_t>(getpid()), &CAudioCapturer::OnAudioData,
                                                     &capturer);
  }

  qel::test::TempDir dir;
  RecordingResults results;
};

TEST_F(LoopbackAudio, SyntheticToneBecomesAFlacFileOfTheElapsedTime) {
  CAudioCapturer capturer(config(), results);
  const auto begin = std::chrono::steady_clock::now();
  ASSERT_EQ(start(capturer), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  ASSERT_EQ(CLoopbackCapture::Instance().StopCapture(), 0);
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  EXPECT_EQ(CLoopbackCapture::Instance().State(), LoopbackState::Stopped);
  ASSERT_TRUE(capturer.Encoder()->finish());
  const auto info = qel::test::probe(audioPath());
  ASSERT_TRUE(info.ok) << info.error;
  ASSERT_EQ(info.streams.size(), 1u);
  EXPECT_EQ(info.streams[0].codecName, "flac");
  EXPECT_EQ(info.streams[0].sampleRate, 44100);
  EXPECT_EQ(info.streams[0].channels, 2);
  EXPECT_NEAR(info.duration, elapsed, 0.15);
  EXPECT_EQ(audioPath().substr(audioPath().size() - 5), ".flac");
  // A second stop is refused at once.
  EXPECT_EQ(CLoopbackCapture::Instance().StopCapture(), kErrorInvalidStateHr);
}

// The offset is the first block's arrival after the video start on the
// platform clock: with the fake clock it is exact.
TEST_F(LoopbackAudio, OffsetIsTheFirstPacketDelay) {
  platform::ScopedFakeClock clock(int64_t{1000} * 1000000000);
  SimAudioKnobs knobs;
  knobs.firstPacketDelayMs = 120;
  platform::audio::SetSimAudioKnobs(knobs);
  CAudioCapturer capturer(config(), results);
  ASSERT_EQ(start(capturer), 0);
  ASSERT_TRUE(CLoopbackCapture::Instance().WaitStartSettled(5000));
  // The first packet is due 120 ms after the start, which the video start
  // preceded by no fake time at all.
  platform::fakeclock::advance(int64_t{119} * 1000000);
  EXPECT_FALSE(capturer.WaitForBlocks(1, 100));  // nothing is due before 120 ms
  platform::fakeclock::advance(int64_t{1} * 1000000);
  ASSERT_TRUE(capturer.WaitForBlocks(1, 5000));
  EXPECT_EQ(results.audioOffsetMs.load(), 120);
  // 441 frames per packet: 1764 bytes each reached the sink.
  EXPECT_EQ(CLoopbackCapture::Instance().CapturedBytes() % 1764, 0u);
  ASSERT_EQ(CLoopbackCapture::Instance().StopCapture(), 0);
  EXPECT_TRUE(capturer.Encoder()->finish());
}

TEST_F(LoopbackAudio, NoPacketsGiveNoFileAndOffsetZero) {
  SimAudioKnobs knobs;
  knobs.noPackets = true;
  platform::audio::SetSimAudioKnobs(knobs);
  CAudioCapturer capturer(config(), results);
  ASSERT_EQ(start(capturer), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_EQ(CLoopbackCapture::Instance().StopCapture(), 0);
  capturer.Encoder()->finish();
  EXPECT_EQ(capturer.Blocks(), 0u);
  EXPECT_TRUE(audioPath().empty());
  EXPECT_EQ(results.audioOffsetMs.load(), 0);
}

// Every activation or start failure completes: the start returns the failure,
// the state is Error, and the stop that follows finishes without a client.
TEST_F(LoopbackAudio, FailuresCompleteTheStartAndTheStopFinishes) {
  struct Case {
    const char* what;
    SimAudioKnobs knobs;
    bool startFails;
  };
  SimAudioKnobs activation;
  activation.activationResult = static_cast<int32_t>(0x80070005u);
  SimAudioKnobs initialize;
  initialize.initializeResult = platform::audio::AUDCLNT_E_SERVICE_NOT_RUNNING;
  SimAudioKnobs startFails;
  startFails.startResult = platform::audio::E_FAIL;
  SimAudioKnobs buffer;
  buffer.bufferFailureAfterPackets = 3;
  const Case cases[] = {
      {"activation", activation, true},
      {"initialize", initialize, true},
      {"start", startFails, false},  // fails on the work queue, after StartCapture returned
      {"buffer", buffer, false},
  };
  for (const Case& c : cases) {
    platform::audio::SetSimAudioKnobs(c.knobs);
    CAudioCapturer capturer(config(), results);
    const int32_t hr = start(capturer);
    EXPECT_EQ(hr < 0, c.startFails) << c.what;
    if (std::string(c.what) == "buffer") {
      ASSERT_TRUE(capturer.WaitForBlocks(3, 5000));
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      EXPECT_EQ(capturer.Blocks(), 3u) << "no block after the failing buffer";
    }
    // The start settles before the stop looks at the state.
    EXPECT_EQ(CLoopbackCapture::Instance().StopCapture(), 0) << c.what;
    EXPECT_EQ(CLoopbackCapture::Instance().State(), LoopbackState::Stopped) << c.what;
    capturer.Encoder()->finish();
  }
}

TEST_F(LoopbackAudio, MissingOutputFolderIsLoggedAndTheCaptureGoesOn) {
  test::LogCollector log;
  WideToU16(qel::utf8ToWide(dir.file("gone/deeper")), CRecordSettings::Get().m_szTmpDir);
  CAudioCapturer capturer(config(), results);
  ASSERT_EQ(start(capturer), 0);
  ASSERT_TRUE(capturer.WaitForBlocks(3, 5000));
  ASSERT_EQ(CLoopbackCapture::Instance().StopCapture(), 0);
  capturer.Encoder()->finish();
  EXPECT_EQ(log.count("creating file failed: 2", "ERROR"), 1) << log.dump();
  EXPECT_TRUE(audioPath().empty());
}

}  // namespace
}  // namespace qelrec

namespace qelrec {
namespace {

// The real backing: a private sound server whose null sink plays a 1 kHz tone;
// the FLAC file holds that tone, and a server that dies mid-recording ends the
// audio cleanly.
class LoopbackAudioOnPulse : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!server.Start()) GTEST_SKIP() << server.error();
    platform::forceBacking("audio", platform::Backing::Real);
    platform::audio::ReselectAudioBacking();
    ASSERT_TRUE(platform::audio::UsingRealAudio());
    CRecordSettings::Destroy();
    WideToU16(qel::utf8ToWide(dir.path()), CRecordSettings::Get().m_szTmpDir);
    WideToU16(L"pulse", CRecordSettings::Get().m_szProcessName);
    tone = dir.file("tone.wav");
    qel::test::ClipSpec spec;
    spec.video = false;
    spec.seconds = 8;
    qel::test::makeClip(tone, spec);  // lavfi sine: 440 Hz by default
  }
  void TearDown() override {
    platform::clearForcedBacking("audio");
    platform::audio::ReselectAudioBacking();
    CRecordSettings::Destroy();
  }
  // What the dialog starts a recording with: the settings as they are now.
  static RecordConfig config() { return CRecordSettings::Get().TakeConfig(); }
  std::string audioPath() { return qel::wideToUtf8(results.AudioPath()); }

  test::PulseServer server;
  qel::test::TempDir dir;
  std::string tone;
  RecordingResults results;
};

TEST_F(LoopbackAudioOnPulse, FlacHoldsTheToneThatThePlayerPlays) {
  // A 1 kHz tone rather than the clip default.
  const qel::CapturedRun made =
      qel::runAndCapture({qel::test::ffmpegPath(), "-v", "error", "-nostdin", "-y", "-f", "lavfi", "-i",
                          "sine=frequency=1000:sample_rate=44100:duration=8", "-ac", "2", tone},
                         true);
  ASSERT_EQ(made.exitCode, 0) << made.output;
  auto player = test::PlayIntoTestSink(tone);
  if (!player) GTEST_SKIP() << "paplay cannot be started";
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  CAudioCapturer capturer(config(), results);
  capturer.m_llVideoStartNs = platform::monotonicNanos();
  ASSERT_EQ(CLoopbackCapture::Instance().StartCapture(static_cast<uint32_t>(getpid()), &CAudioCapturer::OnAudioData,
                                                      &capturer),
            0);
  // A fresh monitor stream of the sound server takes about a second before its
  // first data; the tone is then captured at the server's pace.
  ASSERT_TRUE(capturer.WaitForBlocks(1, 15000));
  std::this_thread::sleep_for(std::chrono::milliseconds(2000));
  ASSERT_EQ(CLoopbackCapture::Instance().StopCapture(), 0);
  ASSERT_TRUE(capturer.Encoder()->finish());
  const auto info = qel::test::probe(audioPath());
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_EQ(info.streams[0].codecName, "flac");
  EXPECT_GT(info.duration, 1.5);
  // Within 2% of the tone played.
  const double hz = test::DominantFrequency(audioPath(), 0.2, 1.4);
  EXPECT_NEAR(hz, 1000.0, 20.0);
}

// A server that dies leaves a hole up to the stop, which becomes silence at
// the pace of the output: the FLAC file runs to the stop, and its end is silent.
TEST_F(LoopbackAudioOnPulse, ServerThatDiesLeavesSilenceUpToTheStop) {
  auto player = test::PlayIntoTestSink(tone);
  if (!player) GTEST_SKIP() << "paplay cannot be started";
  CAudioCapturer capturer(config(), results);
  capturer.m_llVideoStartNs = platform::monotonicNanos();
  ASSERT_EQ(CLoopbackCapture::Instance().StartCapture(static_cast<uint32_t>(getpid()), &CAudioCapturer::OnAudioData,
                                                      &capturer),
            0);
  ASSERT_TRUE(capturer.WaitForBlocks(10, 15000));
  server.Stop();
  const auto killed = std::chrono::steady_clock::now();
  // Silence keeps coming: a second's worth of 10 ms packets at the least.
  ASSERT_TRUE(capturer.WaitForBlocks(capturer.Blocks() + 100, 15000)) << "no audio after the server has gone";
  EXPECT_EQ(CLoopbackCapture::Instance().StopCapture(), 0);
  const double afterKill = std::chrono::duration<double>(std::chrono::steady_clock::now() - killed).count();
  ASSERT_TRUE(capturer.Encoder()->finish());
  const auto info = qel::test::probe(audioPath());
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_GT(info.duration, afterKill - 0.1);
  const qel::CapturedRun tail =
      qel::runAndCapture({qel::test::ffmpegPath(), "-v", "error", "-nostdin", "-sseof", "-0.8", "-i", audioPath(), "-f",
                          "s16le", "-acodec", "pcm_s16le", "-"},
                         false);
  ASSERT_EQ(tail.exitCode, 0);
  ASSERT_GT(tail.output.size(), 44100u);
  EXPECT_EQ(tail.output.find_first_not_of('\0'), std::string::npos) << "the audio after the loss is silence";
}

}  // namespace
}  // namespace qelrec
