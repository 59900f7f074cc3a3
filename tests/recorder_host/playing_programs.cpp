// The programs that play sound, end to end: the built QelRecorder on a
// private Xvfb with a private PulseAudio server whose players the test starts,
// with no `render` line in the run script, so the picker sees what the sound
// server says. The files are named after the chosen player as /proc names it,
// "next" steps to the other player, and the chosen player's end stops the
// recording. Skipped with the reason when Xvfb or PulseAudio cannot start.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/subprocess.h"
#include "platform/apps/render_processes.h"
#include "platform/core/backing.h"
#include "recorder_host/host_run.h"
#include "support/pulse_server.h"
#include "support/xvfb_server.h"

namespace qelhost::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Waits (generously: the machine may be busy) until `done` holds.
bool WaitUntil(const std::function<bool()>& done, std::chrono::seconds limit) {
  const auto deadline = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return true;
}

// The name the recorder gives a program: its executable's file name, as
// /proc/<pid>/exe shows it, without extension.
std::string ProcName(pid_t pid) {
  std::error_code error;
  return fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", error).stem().string();
}

// A QelRecorder run whose output the test reads while it runs.
class LiveRun {
 public:
  bool Start(const std::vector<std::string>& args) {
    std::vector<std::string> argv{qel::test::binDir() + "/QelRecorder"};
    argv.insert(argv.end(), args.begin(), args.end());
    qel::SpawnOptions options;
    options.stderrMode = qel::ChildOutput::Null;
    std::string error;
    return process_.start(argv, options, error);
  }
  // Reads until a line holds `text`; false when the limit passes or the
  // output ends first.
  bool WaitForLine(const std::string& text, std::chrono::seconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!HasLine(text)) {
      if (Clock::now() >= deadline) return false;
      if (process_.readSome(output_, std::chrono::milliseconds(100)) == qel::ReadStatus::EndOfFile) {
        return HasLine(text);
      }
    }
    return true;
  }
  // Reads to the end of the run; its exit code, or nullopt when it is still
  // running at the limit (it is killed then).
  std::optional<int> Finish(std::chrono::seconds limit) {
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
      if (process_.readSome(output_, std::chrono::milliseconds(100)) == qel::ReadStatus::EndOfFile) {
        return process_.wait();
      }
    }
    process_.kill();
    process_.wait();
    return std::nullopt;
  }
  bool HasLine(const std::string& text) const {
    for (const std::string& line : Lines()) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  }
  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    std::istringstream in(output_);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  // The value of the result line "<label>:<value>", "" when missing.
  std::string Value(const std::string& label) const {
    for (const std::string& line : Lines()) {
      if (line.rfind(label + ":", 0) == 0) return line.substr(label.size() + 1);
    }
    return std::string();
  }
  const std::string& output() const { return output_; }

 private:
  qel::Subprocess process_;
  std::string output_;
};

class PlayingPrograms : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!xvfb_.running()) GTEST_SKIP() << xvfb_.error();
    if (!pulse_.Start()) GTEST_SKIP() << pulse_.error();
    tone_ = dir_.file("tone.wav");
    const qel::CapturedRun made =
        qel::runAndCapture({qel::test::ffmpegPath(), "-v", "error", "-nostdin", "-f", "lavfi", "-i",
                            "sine=frequency=1000:duration=120", "-ac", "2", "-ar", "44100", tone_},
                           true);
    ASSERT_EQ(made.exitCode, 0) << made.output;
    fs::create_directories(dir_.file("applications"));
    // The test asks the sound server itself, as the recorder will.
    platform::forceBacking("apps", platform::Backing::Real);
    platform::apps::ReselectRenderBacking();
  }
  void TearDown() override {
    players_.clear();
    platform::clearForcedBacking("apps");
    platform::apps::ReselectRenderBacking();
  }

  // Starts `program` (paplay, or a copy of it under another name) playing the
  // tone, and waits until the sound server lists it after the earlier ones.
  pid_t Play(const std::string& program) {
    auto player = std::make_unique<qel::Subprocess>();
    qel::SpawnOptions options;
    options.stdoutMode = qel::ChildOutput::Null;
    options.stderrMode = qel::ChildOutput::Null;
    std::string error;
    if (!player->start({program, "--device=qeltest", "--latency-msec=20", tone_}, options, error)) {
      ADD_FAILURE() << program << " cannot be started: " << error;
      return 0;
    }
    const pid_t pid = player->pid();
    players_.push_back(std::move(player));
    std::vector<uint32_t> expected;
    for (const auto& p : players_) expected.push_back(static_cast<uint32_t>(p->pid()));
    const bool listed = WaitUntil(
        [&] {
          platform::apps::RenderProcessEntry entries[8] = {};
          int count = 8;
          if (platform::apps::TSV_EnumerateRenderProcess(&count, entries) != 0) return false;
          std::vector<uint32_t> pids;
          for (int i = 0; i < count; ++i) pids.push_back(entries[i].processId);
          return pids == expected;
        },
        std::chrono::seconds(30));
    EXPECT_TRUE(listed) << "the sound server does not list " << program;
    return pid;
  }

  // A copy of the player's program under `name` (a name with "play" in it
  // keeps the player's file mode): another program as /proc names it.
  std::string CopyOfPlayer(pid_t player, const std::string& name) {
    const std::string copy = dir_.file(name);
    fs::copy_file(fs::read_symlink("/proc/" + std::to_string(player) + "/exe"), copy);
    fs::permissions(copy, fs::perms::owner_all);
    return copy;
  }

  // Runs the recorder with `script`; the run is left to the caller.
  void Launch(LiveRun& run, const std::string& script) {
    script_.emplace("QEL_SCRIPT", script);
    ASSERT_TRUE(run.Start({"-vcodec", "libx264", "-r", "30", "-quality", "2", "-recordaudio", "1", "-outputpath",
                           folder(), "-ffmpegpath", qel::test::binDir()}));
  }

  std::string folder() const { return dir_.file("rec"); }

  // A successful run's files are named after `program`, and hold a video and
  // the sound.
  void CheckFilesNamedAfter(const LiveRun& run, const std::string& program) {
    EXPECT_EQ(run.Lines().empty() ? "" : run.Lines().back(), "Screen recording successful.") << run.output();
    const std::string video = run.Value("RecordData-VideoFile");
    const std::string audio = run.Value("RecordData-AudioFile");
    EXPECT_EQ(video.rfind(folder() + "/" + program + "-", 0), 0u) << video;
    EXPECT_EQ(audio.rfind(folder() + "/" + program + "-", 0), 0u) << audio;
    const qel::test::ProbeInfo videoInfo = qel::test::probe(video);
    ASSERT_TRUE(videoInfo.ok) << videoInfo.error;
    ASSERT_EQ(videoInfo.streams.size(), 1u);
    EXPECT_EQ(videoInfo.streams[0].codecName, "h264");
    const qel::test::ProbeInfo audioInfo = qel::test::probe(audio);
    ASSERT_TRUE(audioInfo.ok) << audioInfo.error;
    ASSERT_EQ(audioInfo.streams.size(), 1u);
    EXPECT_EQ(audioInfo.streams[0].codecName, "flac");
    EXPECT_GT(audioInfo.duration, 0.5);
  }

  qel::test::XvfbServer xvfb_{640, 480};
  qelrec::test::PulseServer pulse_;
  qel::test::TempDir dir_;
  std::string tone_;
  std::vector<std::unique_ptr<qel::Subprocess>> players_;
  // The recorder sees the private servers, no simulated backing, and only
  // the test's (empty) folders of .desktop entries.
  ScopedEnv display_{"DISPLAY", xvfb_.display()};
  ScopedEnv backing_{"QEL_BACKING", std::nullopt};
  ScopedEnv dataHome_{"XDG_DATA_HOME", dir_.file("")};
  ScopedEnv dataDirs_{"XDG_DATA_DIRS", dir_.file("")};
  std::optional<ScopedEnv> script_;
};

// The locator polls once a second from the dialog's start: the script leaves
// it several polls before it acts.
TEST_F(PlayingPrograms, FilesNamedAfterThePlayingProgram) {
  const pid_t player = Play("paplay");
  ASSERT_GT(player, 0);
  const std::string name = ProcName(player);  // paplay is a link to pacat on Debian
  ASSERT_FALSE(name.empty());
  LiveRun run;
  Launch(run, "4000 hotkey Control+F5; 7000 hotkey Control+F5");
  ASSERT_TRUE(run.Finish(std::chrono::seconds(120)).has_value()) << run.output();
  EXPECT_TRUE(run.HasLine("Audio render process id: " + std::to_string(player))) << run.output();
  CheckFilesNamedAfter(run, name);
}

TEST_F(PlayingPrograms, NextStepsToTheOtherProgram) {
  const pid_t first = Play("paplay");
  ASSERT_GT(first, 0);
  const pid_t second = Play(CopyOfPlayer(first, "secondplayer"));
  ASSERT_GT(second, 0);
  LiveRun run;
  Launch(run,
         "1000 click ID_BTN_REGION_MANUAL_SELECT; 4000 click ID_BTN_TARGET_NEXT; 5000 hotkey Control+F5; "
         "8000 hotkey Control+F5");
  ASSERT_TRUE(run.Finish(std::chrono::seconds(120)).has_value()) << run.output();
  EXPECT_TRUE(run.HasLine("Audio render process id: " + std::to_string(first))) << run.output();
  EXPECT_TRUE(run.HasLine("Audio render process id: " + std::to_string(second))) << run.output();
  CheckFilesNamedAfter(run, "secondplayer");
}

// No stop in the script: only the chosen program's end stops the recording.
TEST_F(PlayingPrograms, ChosenProgramsEndStopsTheRecording) {
  const pid_t player = Play("paplay");
  ASSERT_GT(player, 0);
  const std::string name = ProcName(player);
  LiveRun run;
  Launch(run,
         "1000 click ID_BTN_REGION_MANUAL_SELECT; 1500 click IDC_CHECK_RECORD_AUTO_STOP; "
         "4000 hotkey Control+F5");
  ASSERT_TRUE(run.WaitForLine("Record started", std::chrono::seconds(60))) << run.output();
  // Some video first, so that the recording has something to keep.
  EXPECT_TRUE(WaitUntil(
      [&] {
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(folder(), error)) {
          if (entry.path().extension() == ".h264" && entry.file_size(error) > 1000) return true;
        }
        return false;
      },
      std::chrono::seconds(30)));
  players_.front()->kill();
  players_.front()->wait();
  const std::optional<int> exit = run.Finish(std::chrono::seconds(60));
  ASSERT_TRUE(exit.has_value()) << "the recording did not stop when its program ended\n" << run.output();
  EXPECT_EQ(*exit, 0) << run.output();
  CheckFilesNamedAfter(run, name);
}

}  // namespace
}  // namespace qelhost::test
