// Whole recordings through the built QelRecorder and the real libqelrecorder.so,
// driven by the run script: once on the simulated display with the synthetic
// tone, once on a private Xvfb server whose screen a client keeps repainting,
// with a private PulseAudio server playing a tone. The files are checked with
// the real ffprobe and ffmpeg, content included.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "common/process.h"
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
Recording CheckResultLines(const HostRun& run, const std::string& folder) {
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
  EXPECT_EQ(r.audio.rfind(folder + "/", 0), 0u) << r.audio;
  EXPECT_TRUE(r.video.ends_with(".h264")) << r.video;
  EXPECT_TRUE(r.audio.ends_with(".flac")) << r.audio;
  EXPECT_GT(r.durationMs, 2000);
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

// The FLAC file covers the recording's three seconds from its first audio
// block on; the offset says where that block lies after the video's start.
// The synthetic source delivers at once; a sound server's monitor stream
// takes a few hundred milliseconds to deliver its first block, and the offset
// carries exactly that, so there the FLAC and its offset together make the
// three seconds.
void CheckFlac(const std::string& path, const Recording& r, bool countOffset) {
  const qel::test::ProbeInfo info = qel::test::probe(path);
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_EQ(info.formatName, "flac");
  ASSERT_EQ(info.streams.size(), 1u);
  EXPECT_EQ(info.streams[0].codecName, "flac");
  EXPECT_EQ(info.streams[0].sampleRate, 44100);
  EXPECT_EQ(info.streams[0].channels, 2);
  const double offset = countOffset ? static_cast<double>(r.offsetMs) / 1000.0 : 0.0;
  EXPECT_NEAR(info.duration + offset, 3.0, 0.3)
      << "FLAC " << info.duration << " s, audio offset " << r.offsetMs << " ms, video " << r.durationMs << " ms";
  if (!countOffset) {
    EXPECT_LT(r.offsetMs, 100);
  }
  EXPECT_LT(r.offsetMs, 1000);
}

// The tone's frequency from the zero crossings of the first channel, counted
// over the sound only: a stretch the sound server left silent (a player starved
// of CPU time on a busy machine) says nothing about the tone. Also gives the
// seconds of sound that were measured.
double ToneFrequency(const std::string& path, double* soundSeconds) {
  const qel::CapturedRun run = qel::runAndCapture(
      {qel::test::ffmpegPath(), "-v", "error", "-nostdin", "-i", path, "-af",
       "silenceremove=stop_periods=-1:stop_duration=0.005:stop_threshold=-45dB", "-ac", "1", "-ar", "44100", "-f",
       "s16le", "-acodec", "pcm_s16le", "-"},
      false);
  EXPECT_EQ(run.exitCode, 0);
  const size_t count = run.output.size() / 2;
  *soundSeconds = static_cast<double>(count) / 44100.0;
  if (count < 2) return 0;
  int crossings = 0;
  int16_t previous = 0;
  for (size_t i = 0; i < count; ++i) {
    int16_t sample;
    std::memcpy(&sample, run.output.data() + 2 * i, 2);
    if (i > 0 && (previous < 0) != (sample < 0)) ++crossings;
    previous = sample;
  }
  return crossings / 2.0 / *soundSeconds;
}

std::vector<std::string> RecordArguments(const std::string& folder) {
  return {"-vcodec", "libx264", "-r",          "30",   "-quality",   "2", "-recordaudio",
          "1",       "-outputpath", folder,     "-ffmpegpath", qel::test::binDir()};
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
  EXPECT_GE(frames, 80);
  EXPECT_LE(frames, 100);
  CheckFlac(r.audio, r, false);
  // The synthetic source plays 440 Hz.
  double sound = 0;
  EXPECT_NEAR(ToneFrequency(r.audio, &sound), 440.0, 10.0);
  EXPECT_GT(sound, 2.5);
}

// Well apart in RGB, so that each survives H.264 and the I420 conversion.
constexpr uint32_t kPalette[] = {0xFF0000, 0x00FF00, 0x0000FF, 0xFFFF00, 0xFF00FF,
                                 0x00FFFF, 0xFFFFFF, 0x808080, 0xFF8000, 0x8000FF};
constexpr int kPaintMs = 500;

// The palette index of every decoded frame (the mean of the frame's middle),
// -1 for a frame no palette colour comes near.
std::vector<int> FrameColours(const std::string& video) {
  const qel::CapturedRun run = qel::runAndCapture(
      {qel::test::ffmpegPath(), "-v", "error", "-nostdin", "-i", video, "-vf",
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
  const qel::CapturedRun made = qel::runAndCapture(
      {qel::test::ffmpegPath(), "-v", "error", "-nostdin", "-f", "lavfi", "-i", "sine=frequency=1000:duration=15",
       "-ac", "2", "-ar", "44100", tone},
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
  EXPECT_GE(frames, 80);
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

  CheckFlac(r.audio, r, true);
  double sound = 0;
  EXPECT_NEAR(ToneFrequency(r.audio, &sound), 1000.0, 20.0);
  EXPECT_GT(sound, 1.5);
}

}  // namespace
}  // namespace qelhost::test
