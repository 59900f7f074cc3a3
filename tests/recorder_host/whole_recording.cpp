// Whole recordings through the built QelRecorder and the real libqelrecorder.so,
// driven by the run script: once on the simulated display with the synthetic
// tone, once on a private Xvfb server whose screen a client keeps repainting,
// with a private PulseAudio server playing a tone. The files are checked with
// the real ffprobe and ffmpeg, content included.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

#include "common/subprocess.h"
#include "recorder_host/host_run.h"
#include "recorder_host/screen_painter.h"
#include "support/pulse_server.h"
#include "support/xvfb_server.h"

namespace qelhost::test {
namespace {

constexpr const char* kScript = "1000 hotkey Control+F5; 4000 hotkey Control+F5";

struct Recording {
  std::string video;
  std::string audio;
  long long durationMs = -1;
  long long offsetMs = -1;
};

// The result lines of a successful run: the four record lines, then the result.
// Without audio the audio file is "null".
Recording CheckResultLines(const HostRun& run, const std::string& folder, long long minDurationMs = 2000,
                           bool withAudio = true) {
  Recording r;
  std::vector<std::string> recordLines;
  for (const std::string& line : run.lines) {
    if (line.rfind("RecordData-", 0) == 0) recordLines.push_back(line);
  }
  EXPECT_EQ(recordLines.size(), 4u) << run.output;
  if (recordLines.size() != 4) return r;
  auto value = [&](size_t i, const std::string& label) {
    EXPECT_EQ(recordLines[i].rfind(label, 0), 0u) << recordLines[i];
    return recordLines[i].substr(std::min(label.size(), recordLines[i].size()));
  };
  r.video = value(0, "RecordData-VideoFile:");
  r.audio = value(1, "RecordData-AudioFile:");
  r.durationMs = std::atoll(value(2, "RecordData-VideoDuration:").c_str());
  r.offsetMs = std::atoll(value(3, "RecordData-AudioOffset:").c_str());
  EXPECT_EQ(r.video.rfind(folder + "/", 0), 0u) << r.video;
  if (withAudio) {
    EXPECT_EQ(r.audio.rfind(folder + "/", 0), 0u) << r.audio;
    EXPECT_TRUE(r.audio.ends_with(".flac")) << r.audio;
  } else {
    EXPECT_EQ(r.audio, "null");
  }
  EXPECT_TRUE(r.video.ends_with(".h264")) << r.video;
  EXPECT_GT(r.durationMs, minDurationMs);
  EXPECT_EQ(run.lines.back(), "Screen recording successful.");
  EXPECT_EQ(run.exitCode, 0);
  return r;
}

int CountVideoFrames(const std::string& path) {
  const qel::CapturedRun run =
      qel::runAndCapture({qel::test::ffprobePath(), "-v", "error", "-count_frames", "-select_streams", "v:0",
                          "-show_entries", "stream=codec_name,nb_read_frames", "-of", "csv=p=0", path},
                         false);
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(run.output.rfind("h264,", 0), 0u) << run.output;
  const size_t comma = run.output.find(',');
  return comma == std::string::npos ? -1 : std::atoi(run.output.c_str() + comma + 1);
}

// The FLAC file and its offset together cover the recording: the offset
// says where the first audio block lies after the video's start (the
// synthetic source delivers at once; a sound server's monitor stream may take
// longer), and the audio runs until its stop, which comes after the video's
// (ffmpeg finishes first, longer on a busy machine). How long the first block
// takes is a figure for the README, not for this test.
void CheckFlac(const std::string& path, const Recording& r, double seconds) {
  const qel::test::ProbeInfo info = qel::test::probe(path);
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_EQ(info.formatName, "flac");
  ASSERT_EQ(info.streams.size(), 1u);
  EXPECT_EQ(info.streams[0].codecName, "flac");
  EXPECT_EQ(info.streams[0].sampleRate, 44100);
  EXPECT_EQ(info.streams[0].channels, 2);
  const double covered = info.duration + static_cast<double>(r.offsetMs) / 1000.0;
  EXPECT_GE(covered, seconds - 0.3) << "FLAC " << info.duration << " s, audio offset " << r.offsetMs << " ms, video "
                                    << r.durationMs << " ms";
  // The audio stops once ffmpeg has finished the video, which on a loaded
  // machine takes seconds.
  EXPECT_LE(covered, seconds + 5.0) << "FLAC " << info.duration << " s, audio offset " << r.offsetMs << " ms";
  EXPECT_LT(r.offsetMs, static_cast<long long>(seconds * 1000) - 500);
}

// The first channel of an audio file as 16-bit samples at 44100 Hz.
std::vector<int16_t> MonoSamples(const std::string& path) {
  const qel::CapturedRun run =
      qel::runAndCapture({qel::test::ffmpegPath(), "-v", "error", "-nostdin", "-i", path, "-ac", "1", "-ar", "44100",
                          "-f", "s16le", "-acodec", "pcm_s16le", "-"},
                         false);
  EXPECT_EQ(run.exitCode, 0);
  std::vector<int16_t> samples(run.output.size() / 2);
  if (!samples.empty()) std::memcpy(samples.data(), run.output.data(), samples.size() * 2);
  return samples;
}

// The tone's pitch, counted in whole periods: within each stretch of sound,
// the periods between its first and last upward zero crossing over the time
// they span. A gap a busy sound server leaves (silence, or a jump where
// samples went missing) ends a stretch or costs at most a period, so the pitch
// holds on a loaded machine. `soundSeconds` receives the time measured.
double TonePitch(const std::vector<int16_t>& samples, double* soundSeconds) {
  constexpr int kQuiet = 64;          // about -54 dBFS
  constexpr size_t kSilentRun = 220;  // 5 ms below it is silence
  uint64_t periods = 0;
  uint64_t spanned = 0;
  size_t quietRun = 0;
  bool open = false;
  size_t first = 0;
  size_t last = 0;
  uint64_t ups = 0;
  const auto close = [&] {
    if (open && ups >= 2) {
      periods += ups - 1;
      spanned += last - first;
    }
    open = false;
    ups = 0;
  };
  for (size_t i = 1; i < samples.size(); ++i) {
    quietRun = std::abs(samples[i]) < kQuiet ? quietRun + 1 : 0;
    if (quietRun == kSilentRun) close();
    if (samples[i - 1] < 0 && samples[i] >= 0 && quietRun < kSilentRun) {
      if (!open) first = i;
      open = true;
      last = i;
      ++ups;
    }
  }
  close();
  *soundSeconds = static_cast<double>(spanned) / 44100.0;
  return spanned == 0 ? 0 : static_cast<double>(periods) * 44100.0 / static_cast<double>(spanned);
}

// The loudest sample between two times (seconds).
int Peak(const std::vector<int16_t>& samples, double from, double to) {
  int peak = 0;
  const auto begin = static_cast<size_t>(std::max(0.0, from) * 44100);
  const auto end = std::min(samples.size(), static_cast<size_t>(std::max(0.0, to) * 44100));
  for (size_t i = begin; i < end; ++i) peak = std::max(peak, std::abs(static_cast<int>(samples[i])));
  return peak;
}

bool HasLine(const HostRun& run, const std::string& prefix, const std::string& suffix) {
  for (const std::string& line : run.lines) {
    if (line.rfind(prefix, 0) == 0 && line.ends_with(suffix)) return true;
  }
  return false;
}

std::vector<std::string> RecordArguments(const std::string& folder) {
  return {"-vcodec",      "libx264", "-r",          "30",   "-quality",    "2",
          "-recordaudio", "1",       "-outputpath", folder, "-ffmpegpath", qel::test::binDir()};
}

TEST(WholeRecording, SimulatedDisplayAndSyntheticTone) {
  ScopedEnv backing("QEL_BACKING", std::string("sim"));
  ScopedEnv script("QEL_SCRIPT", std::string(kScript));
  qel::test::TempDir out;
  const HostRun run = RunProgram(qel::test::binDir() + "/QelRecorder", RecordArguments(out.path()));
  ASSERT_TRUE(run.started);
  const Recording r = CheckResultLines(run, out.path());
  if (r.video.empty()) return;
  const int frames = CountVideoFrames(r.video);
  // About 90 at 30 frames a second; ffmpeg, which the first frame waits for,
  // may take a while to start on a loaded machine.
  EXPECT_GE(frames, 60);
  EXPECT_LE(frames, 100);
  CheckFlac(r.audio, r, 3.0);
  // The synthetic source plays 440 Hz.
  double sound = 0;
  EXPECT_NEAR(TonePitch(MonoSamples(r.audio), &sound), 440.0, 4.4);
  EXPECT_GT(sound, 2.5);
}

// Well apart in RGB, so that each survives H.264 and the I420 conversion.
constexpr uint32_t kPalette[] = {0xFF0000, 0x00FF00, 0x0000FF, 0xFFFF00, 0xFF00FF,
                                 0x00FFFF, 0xFFFFFF, 0x808080, 0xFF8000, 0x8000FF};
constexpr int kPaintMs = 500;

// The palette index of every decoded frame (the mean of the frame's middle),
// -1 for a frame no palette colour comes near.
std::vector<int> FrameColours(const std::string& video) {
  const qel::CapturedRun run =
      qel::runAndCapture({qel::test::ffmpegPath(), "-v", "error", "-nostdin", "-i", video, "-vf",
                          "crop=iw/2:ih/2,scale=1:1:flags=area", "-f", "rawvideo", "-pix_fmt", "rgb24", "-"},
                         false);
  EXPECT_EQ(run.exitCode, 0);
  std::vector<int> colours;
  for (size_t i = 0; i + 3 <= run.output.size(); i += 3) {
    const int r = static_cast<uint8_t>(run.output[i]);
    const int g = static_cast<uint8_t>(run.output[i + 1]);
    const int b = static_cast<uint8_t>(run.output[i + 2]);
    int best = -1;
    int bestDistance = 40 * 40 * 3;
    for (size_t p = 0; p < std::size(kPalette); ++p) {
      const int dr = r - static_cast<int>((kPalette[p] >> 16) & 0xFF);
      const int dg = g - static_cast<int>((kPalette[p] >> 8) & 0xFF);
      const int db = b - static_cast<int>(kPalette[p] & 0xFF);
      const int d = dr * dr + dg * dg + db * db;
      if (d < bestDistance) {
        bestDistance = d;
        best = static_cast<int>(p);
      }
    }
    colours.push_back(best);
  }
  return colours;
}

TEST(WholeRecording, XServerAndSoundServer) {
  qel::test::XvfbServer xvfb(640, 480);
  if (!xvfb.running()) GTEST_SKIP() << xvfb.error();
  qelrec::test::PulseServer pulse;
  if (!pulse.Start()) GTEST_SKIP() << pulse.error();
  qel::test::TempDir out;
  const std::string tone = out.file("tone.wav");
  const qel::CapturedRun made =
      qel::runAndCapture({qel::test::ffmpegPath(), "-v", "error", "-nostdin", "-f", "lavfi", "-i",
                          "sine=frequency=1000:duration=15", "-ac", "2", "-ar", "44100", tone},
                         true);
  ASSERT_EQ(made.exitCode, 0) << made.output;
  auto player = qelrec::test::PlayIntoTestSink(tone);
  ASSERT_NE(player, nullptr) << "paplay cannot be started";

  ScopedEnv display("DISPLAY", xvfb.display());
  ScopedEnv backing("QEL_BACKING", std::nullopt);
  ScopedEnv script("QEL_SCRIPT", std::string(kScript));
  ScreenPainter painter(xvfb.display());
  ASSERT_TRUE(painter.ok());
  painter.Start(std::vector<uint32_t>(std::begin(kPalette), std::end(kPalette)), std::chrono::milliseconds(kPaintMs));
  const std::string folder = out.file("rec");
  const HostRun run = RunProgram(qel::test::binDir() + "/QelRecorder", RecordArguments(folder));
  ASSERT_TRUE(run.started);
  const Recording r = CheckResultLines(run, folder);
  if (r.video.empty()) return;

  const int frames = CountVideoFrames(r.video);
  // About 90 at 30 frames a second; ffmpeg, which the first frame waits for,
  // may take a while to start on a loaded machine.
  EXPECT_GE(frames, 60);
  EXPECT_LE(frames, 100);
  // Every frame shows a painted colour, and the colours come in the order
  // they were painted, several of them within the three seconds.
  const std::vector<int> colours = FrameColours(r.video);
  EXPECT_EQ(static_cast<int>(colours.size()), frames);
  std::vector<int> changes;
  for (int c : colours) {
    EXPECT_GE(c, 0) << ::testing::PrintToString(colours);
    if (changes.empty() || changes.back() != c) changes.push_back(c);
  }
  for (size_t i = 1; i < changes.size(); ++i) {
    EXPECT_GT(changes[i], changes[i - 1]) << ::testing::PrintToString(changes);
  }
  EXPECT_GE(changes.size(), 4u) << ::testing::PrintToString(changes);

  CheckFlac(r.audio, r, 3.0);
  double sound = 0;
  EXPECT_NEAR(TonePitch(MonoSamples(r.audio), &sound), 1000.0, 10.0);
  EXPECT_GT(sound, 1.5);
}

// An X server and a private sound server playing a 1 kHz tone into its null
// sink, for the recordings below.
class SoundServerRecording : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!xvfb.running()) GTEST_SKIP() << xvfb.error();
    if (!pulse.Start()) GTEST_SKIP() << pulse.error();
    const qel::CapturedRun made =
        qel::runAndCapture({qel::test::ffmpegPath(), "-v", "error", "-nostdin", "-f", "lavfi", "-i",
                            "sine=frequency=1000:duration=30", "-ac", "2", "-ar", "44100", tone},
                           true);
    ASSERT_EQ(made.exitCode, 0) << made.output;
  }
  // Records with the run script `script`; the player plays with `latencyMs`
  // (0: as most players do, leaving the server to render far ahead).
  HostRun Record(const std::string& script, int latencyMs) {
    auto player = qelrec::test::PlayIntoTestSink(tone, latencyMs);
    EXPECT_NE(player, nullptr) << "paplay cannot be started";
    ScopedEnv display("DISPLAY", xvfb.display());
    ScopedEnv backing("QEL_BACKING", std::nullopt);
    ScopedEnv run("QEL_SCRIPT", script);
    return RunProgram(qel::test::binDir() + "/QelRecorder", RecordArguments(folder));
  }

  qel::test::XvfbServer xvfb{640, 480};
  qelrec::test::PulseServer pulse;
  qel::test::TempDir out;
  std::string tone = out.file("tone.wav");
  std::string folder = out.file("rec");
};

// A sound server that sends its first block only when it renders again (up to
// 2 s after a stream opens) must not cost the start of the sound: a one-second
// recording, started as a user would once the dialog is up, holds the tone.
// Twice, since the server's rendering phase at the start is a matter of luck.
TEST_F(SoundServerRecording, OneSecondHoldsTheTone) {
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    const HostRun run = Record("3500 hotkey Control+F5; 4500 hotkey Control+F5", 0);
    ASSERT_TRUE(run.started);
    // The video's length is ffmpeg's last progress report, which for so short a
    // recording may come early; the length that matters here is the sound's.
    const Recording r = CheckResultLines(run, folder, -1);
    if (r.audio.empty() || r.audio == "null") continue;
    double sound = 0;
    EXPECT_NEAR(TonePitch(MonoSamples(r.audio), &sound), 1000.0, 10.0);
    EXPECT_GT(sound, 0.5) << "audio offset " << r.offsetMs << " ms\n" << run.output;
  }
}

// The sound server killed mid-recording: the audio goes on as silence up to
// the stop, so the FLAC still covers the whole recording, and a line says why.
TEST_F(SoundServerRecording, LostServerLeavesSilenceUpToTheStop) {
  // Killed 1.5 s into the sound: the FLAC file appears with the first block.
  std::thread killer([this] {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    bool flac = false;
    while (!flac && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      std::error_code error;
      for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        flac = flac || entry.path().extension() == ".flac";
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    pulse.Kill();
  });
  const HostRun run = Record("1000 hotkey Control+F5; 5000 hotkey Control+F5", 20);
  killer.join();
  ASSERT_TRUE(run.started);
  const Recording r = CheckResultLines(run, folder, 3000);
  if (r.audio.empty() || r.audio == "null") return;
  EXPECT_TRUE(HasLine(run, "The sound server was lost; the audio goes on as silence up to the stop.", ""))
      << run.output;
  CheckFlac(r.audio, r, 4.0);
  const std::vector<int16_t> samples = MonoSamples(r.audio);
  const double seconds = static_cast<double>(samples.size()) / 44100.0;
  // The tone up to the kill (1.5 s in), silence over the last second.
  EXPECT_GT(Peak(samples, 0.2, 1.2), 1000);
  EXPECT_EQ(Peak(samples, seconds - 1.0, seconds), 0);
}

// No sound server at all: the screen is recorded, the audio is "null", and a
// line says that no sound server was reached. The synthetic tone never fills in.
TEST_F(SoundServerRecording, NoServerRecordsWithoutAudio) {
  pulse.Stop();
  ScopedEnv server("PULSE_SERVER", "unix:" + out.file("nowhere/native"));
  const HostRun run = Record("1000 hotkey Control+F5; 2500 hotkey Control+F5", 20);
  ASSERT_TRUE(run.started);
  const Recording r = CheckResultLines(run, folder, 1000, false);
  const std::string address = "PULSE_SERVER=unix:" + out.file("nowhere/native");
  EXPECT_TRUE(HasLine(run, "No sound server was reached (PulseAudio at " + address, "); recording without audio."))
      << run.output;
  if (!r.video.empty()) {
    EXPECT_GT(CountVideoFrames(r.video), 20);
  }
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    EXPECT_NE(entry.path().extension(), ".flac") << entry.path();
  }
}

}  // namespace
}  // namespace qelhost::test
