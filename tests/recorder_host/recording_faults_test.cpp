// The built QelRecorder and the real libqelrecorder.so when the world around a
// recording misbehaves: no display to record, an X server that dies while
// recording, an ffmpeg that reads nothing, a signal that asks the program to
// end. Each run must end by itself, and report success exactly when a finished
// video exists. Bounds are generous: these runs share the machine with the
// rest of the suite.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/subprocess.h"
#include "recorder_host/host_run.h"
#include "support/xvfb_server.h"

namespace qelhost::test {
namespace {

using namespace std::chrono_literals;

// A QelRecorder run that the test watches while it goes on: its standard
// output read line by line, in a process group of its own so that a test can
// signal the group as a terminal does.
class LiveHost {
 public:
  explicit LiveHost(const std::vector<std::string>& args) {
    std::vector<std::string> argv{qel::test::binDir() + "/QelRecorder"};
    argv.insert(argv.end(), args.begin(), args.end());
    qel::SpawnOptions options;
    options.stdoutMode = qel::ChildOutput::Pipe;
    options.stderrMode = qel::ChildOutput::Null;
    options.ownProcessGroup = true;
    std::string error;
    started_ = child_.start(argv, options, error);
    EXPECT_TRUE(started_) << error;
  }

  bool started() const { return started_; }
  pid_t pid() const { return child_.pid(); }
  const std::string& output() const { return output_; }

  // Reads until a line holds `part`; false when the output ends or `limit`
  // passes first.
  bool WaitForLine(const std::string& part, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (output_.find(part) == std::string::npos) {
      if (std::chrono::steady_clock::now() > deadline || !ReadSome()) return false;
    }
    return true;
  }

  // Reads to the end of the output and reaps the program; nullopt (and the
  // program killed) when it has not ended within `limit`.
  std::optional<int> Finish(std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      if (!ReadSome()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (auto code = child_.waitFor(std::max(left, 0ms))) return code;
        break;
      }
    }
    child_.kill();
    child_.wait();
    return std::nullopt;
  }

  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    std::istringstream in(output_);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

 private:
  // False at the end of the output.
  bool ReadSome() {
    const qel::ReadStatus status = child_.readSome(output_, 200ms);
    return status == qel::ReadStatus::Data || status == qel::ReadStatus::Timeout;
  }

  qel::Subprocess child_;
  bool started_ = false;
  std::string output_;
};

// Waits until a video file of the folder has grown past its first bytes: the
// recording is under way and ffmpeg has frames.
bool WaitForVideoBytes(const std::string& folder, std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ignored)) {
      if (entry.path().extension() == ".h264" && entry.file_size(ignored) > 0) return true;
    }
    std::this_thread::sleep_for(100ms);
  }
  return false;
}

int CountFrames(const std::string& video) {
  const qel::CapturedRun run =
      qel::runAndCapture({qel::test::ffprobePath(), "-v", "error", "-count_frames", "-select_streams", "v:0",
                          "-show_entries", "stream=nb_read_frames", "-of", "csv=p=0", video},
                         false);
  return run.exitCode == 0 ? std::atoi(run.output.c_str()) : -1;
}

std::string ValueAfter(const std::vector<std::string>& lines, const std::string& label) {
  for (const std::string& line : lines) {
    if (line.rfind(label, 0) == 0) return line.substr(label.size());
  }
  return "";
}

int CountLinesWith(const std::vector<std::string>& lines, const std::string& part) {
  int n = 0;
  for (const std::string& line : lines) n += line.find(part) != std::string::npos ? 1 : 0;
  return n;
}

std::vector<std::string> RecordArguments(const std::string& folder, const std::string& ffmpegFolder,
                                         const std::string& audio) {
  return {"-vcodec",      "libx264", "-r",          "30",   "-preset",     "ultrafast",
          "-recordaudio", audio,     "-outputpath", folder, "-ffmpegpath", ffmpegFolder};
}

// An X authority file with one cookie: a server started with it refuses every
// client that does not present the cookie.
void WriteCookieFile(const std::string& path) {
  std::string entry;
  auto field = [&](const std::string& bytes) {
    entry.push_back(static_cast<char>(bytes.size() >> 8));
    entry.push_back(static_cast<char>(bytes.size() & 0xFF));
    entry += bytes;
  };
  entry += "\xFF\xFF";  // any address family
  field("");
  field("");
  field("MIT-MAGIC-COOKIE-1");
  field("0123456789abcdef");
  qel::test::writeFile(path, entry);
}

// A display number nothing listens on: above the ones Xvfb's -displayfd picks.
std::string SilentDisplay() {
  for (int n = 4600; n < 4700; ++n) {
    const std::string socket = "/tmp/.X11-unix/X" + std::to_string(n);
    const std::string lock = "/tmp/.X" + std::to_string(n) + "-lock";
    if (!std::filesystem::exists(socket) && !std::filesystem::exists(lock)) return ":" + std::to_string(n);
  }
  return ":4699";
}

// No display to record: the start fails with a line naming the display and
// why, and nothing is recorded (never a simulated screen in its place).
TEST(RecordingFaults, MissingDisplayFailsTheStart) {
  qel::test::TempDir work;
  const std::string cookies = work.file("cookies");
  WriteCookieFile(cookies);
  const std::string noCookie = work.file("no-cookie");
  qel::test::writeFile(noCookie, "");
  qel::test::XvfbServer guarded(320, 240, {"-auth", cookies});
  const std::string silent = SilentDisplay();

  struct Case {
    const char* what;
    std::optional<std::string> display;
    const char* line;
  };
  std::vector<Case> cases = {
      {"unset", std::nullopt, "Cannot record the screen: no X display: DISPLAY is not set."},
      {"no answer", silent, "does not answer."},
  };
  if (guarded.running()) cases.push_back({"refused", guarded.display(), "refused the connection."});
  ScopedEnv backing("QEL_BACKING", std::nullopt);
  ScopedEnv authority("XAUTHORITY", noCookie);
  ScopedEnv script("QEL_SCRIPT", std::string("300 hotkey Control+F5; 1300 hotkey Control+F5"));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScopedEnv display("DISPLAY", c.display);
    qel::test::TempDir out;
    const HostRun run =
        RunProgram(qel::test::binDir() + "/QelRecorder", RecordArguments(out.path(), qel::test::binDir(), "0"));
    ASSERT_TRUE(run.started);
    ASSERT_FALSE(run.lines.empty());
    EXPECT_EQ(run.lines.back(), "Call LaunchRecorder failed.") << run.output;
    EXPECT_EQ(run.exitCode, 255);
    EXPECT_EQ(CountLinesWith(run.lines, c.line), 1) << run.output;
    if (c.display) {
      EXPECT_EQ(CountLinesWith(run.lines, "X display " + *c.display + " "), 1) << run.output;
    }
    EXPECT_EQ(run.output.find("RecordData-"), std::string::npos);
    EXPECT_TRUE(std::filesystem::is_empty(out.path())) << "nothing may be recorded";
  }
}

// The X server dies while recording: the capture ends, the video recorded so
// far is finished and reported, and the program ends by itself, without a
// signal (a crash at exit included).
TEST(RecordingFaults, LostXServerFinishesTheVideo) {
  qel::test::XvfbServer xvfb(640, 480);
  if (!xvfb.running()) GTEST_SKIP() << xvfb.error();
  ScopedEnv display("DISPLAY", xvfb.display());
  ScopedEnv backing("QEL_BACKING", std::nullopt);
  ScopedEnv script("QEL_SCRIPT", std::string("300 hotkey Control+F5"));
  qel::test::TempDir out;
  LiveHost host(RecordArguments(out.path(), qel::test::binDir(), "0"));
  ASSERT_TRUE(host.started());
  ASSERT_TRUE(host.WaitForLine("Begin desktop screen capture...", 60s)) << host.output();
  ASSERT_TRUE(WaitForVideoBytes(out.path(), 60s)) << host.output();
  xvfb.kill();

  const std::optional<int> code = host.Finish(120s);
  ASSERT_TRUE(code.has_value()) << "the recorder did not end by itself\n" << host.output();
  EXPECT_EQ(*code, 0) << host.output();
  const std::vector<std::string> lines = host.Lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "Screen recording successful.");
  const std::string video = ValueAfter(lines, "RecordData-VideoFile:");
  EXPECT_EQ(video.rfind(out.path() + "/", 0), 0u) << host.output();
  EXPECT_EQ(ValueAfter(lines, "RecordData-AudioFile:"), "null");
  EXPECT_GE(CountFrames(video), 1);
  // The capture ended at the first failed frame instead of trying on.
  EXPECT_LE(CountLinesWith(lines, "Capture frame failed"), 2) << host.output();
}

// An ffmpeg that never reads its input cannot hang the stop: the writer's
// time-out ends it, nothing is reported as recorded, and the program exits.
TEST(RecordingFaults, FfmpegThatReadsNothingCannotHangTheStop) {
  qel::test::TempDir tools;
  std::filesystem::copy_file(qel::test::binDir() + "/stuck_ffmpeg", tools.file("ffmpeg"));
  ScopedEnv backing("QEL_BACKING", std::string("sim"));
  ScopedEnv script("QEL_SCRIPT", std::string("300 hotkey Control+F5; 1300 hotkey Control+F5"));
  qel::test::TempDir out;
  const auto begin = std::chrono::steady_clock::now();
  const HostRun run = RunProgram(qel::test::binDir() + "/QelRecorder", RecordArguments(out.path(), tools.path(), "0"));
  const auto took = std::chrono::steady_clock::now() - begin;
  ASSERT_TRUE(run.started);
  ASSERT_FALSE(run.lines.empty());
  EXPECT_EQ(run.lines.back(), "Call LaunchRecorder failed.") << run.output;
  EXPECT_EQ(run.exitCode, 255);
  EXPECT_EQ(ValueAfter(run.lines, "RecordData-VideoFile:"), "null") << run.output;
  EXPECT_EQ(CountLinesWith(run.lines, "it is ended and its file is not finished"), 1) << run.output;
  EXPECT_LT(took, 100s);
}

// SIGINT (to the whole process group, as Control+C in a terminal sends it),
// SIGTERM and SIGHUP stop a recording as the stop hot key does: both files
// finished, the result lines printed, success and exit 0.
TEST(RecordingFaults, StopSignalsFinishTheRecording) {
  ScopedEnv backing("QEL_BACKING", std::string("sim"));
  ScopedEnv script("QEL_SCRIPT", std::string("300 hotkey Control+F5"));
  struct Case {
    const char* what;
    int signal;
    bool group;
  };
  const Case cases[] = {{"SIGINT to the group", SIGINT, true}, {"SIGTERM", SIGTERM, false}, {"SIGHUP", SIGHUP, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    qel::test::TempDir out;
    LiveHost host(RecordArguments(out.path(), qel::test::binDir(), "1"));
    ASSERT_TRUE(host.started());
    ASSERT_TRUE(host.WaitForLine("Begin desktop screen capture...", 60s)) << host.output();
    ASSERT_TRUE(WaitForVideoBytes(out.path(), 60s)) << host.output();
    ASSERT_EQ(c.group ? ::killpg(host.pid(), c.signal) : ::kill(host.pid(), c.signal), 0);

    const std::optional<int> code = host.Finish(120s);
    ASSERT_TRUE(code.has_value()) << host.output();
    EXPECT_EQ(*code, 0) << host.output();
    const std::vector<std::string> lines = host.Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "Screen recording successful.") << host.output();
    const std::string video = ValueAfter(lines, "RecordData-VideoFile:");
    const std::string audio = ValueAfter(lines, "RecordData-AudioFile:");
    EXPECT_GE(CountFrames(video), 1) << host.output();
    const qel::test::ProbeInfo flac = qel::test::probe(audio);
    ASSERT_TRUE(flac.ok) << flac.error << "\n" << host.output();
    EXPECT_EQ(flac.formatName, "flac");
    EXPECT_GT(flac.duration, 0.0);
    EXPECT_NE(ValueAfter(lines, "RecordData-VideoDuration:"), "");
  }
}

// Before any recording a stop signal ends the program as a cancel: nothing was
// recorded, so nothing is reported, and never a success.
TEST(RecordingFaults, StopSignalBeforeARecordingCancels) {
  ScopedEnv backing("QEL_BACKING", std::string("sim"));
  ScopedEnv script("QEL_SCRIPT", std::nullopt);
  qel::test::TempDir out;
  LiveHost host(RecordArguments(out.path(), qel::test::binDir(), "0"));
  ASSERT_TRUE(host.started());
  ASSERT_TRUE(host.WaitForLine("recordaudio:0", 60s)) << host.output();
  // The signal may come before the dialog runs: it waits for it.
  ASSERT_EQ(::kill(host.pid(), SIGTERM), 0);
  const std::optional<int> code = host.Finish(120s);
  ASSERT_TRUE(code.has_value()) << host.output();
  EXPECT_EQ(*code, 1) << host.output();
  const std::vector<std::string> lines = host.Lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "Cancel screen recording.");
  EXPECT_EQ(host.output().find("RecordData-"), std::string::npos);
}

}  // namespace
}  // namespace qelhost::test
