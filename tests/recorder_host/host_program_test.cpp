// The built QelRecorder against stand-in recorder libraries (fake_qelrecorder.cpp)
// and, for a cancelled dialog, against the real one: what it passes to the
// exports, what it prints and the exit codes the front end sees.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "recorder_host/host_run.h"

namespace qelhost::test {
namespace {

std::vector<std::string> Lines(const std::string& path) {
  std::vector<std::string> lines;
  if (!std::filesystem::exists(path)) return lines;
  std::istringstream in(qel::test::readFile(path));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class HostProgram : public ::testing::Test {
 protected:
  // A simulated 1920 x 1080 screen: the region is the same on every machine.
  ScopedEnv backing_{"QEL_BACKING", std::string("sim")};
  ScopedEnv script_{"QEL_SCRIPT", std::nullopt};
  qel::test::TempDir work_;
  std::string callLog_ = work_.file("calls.txt");
  ScopedEnv log_{"FAKE_RECORDER_LOG", callLog_};
};

TEST_F(HostProgram, PassesTheOptionsEchoesThemInTableOrderAndPrintsTheResults) {
  HostFolder host("libfake_qelrecorder_full.so");
  ScopedEnv result("FAKE_RECORDER_RESULT", std::string("0"));
  const HostRun run = RunProgram(
      host.program(),
      {"-quality", "2",          "-preset", "fast",        "-tune",        "zerolatency",  "-b:v",   "4000",
       "-r",       "30",         "-vcodec", "libx264",     "--outputpath", "/my",          "vidéos", "-recordaudio",
       "1",        "-delaytime", "2500",    "-ffmpegpath", "/opt/ff",      "-starthotkey", "Alt+Q",  "-hidehotkey",
       "-VCodec",  "x"});
  ASSERT_TRUE(run.started);
  EXPECT_EQ(run.exitCode, 0);
  const std::vector<std::string> expected{
      "vcodec:libx264",
      "r:30",
      "b:v:4000",
      "outputpath:/my vidéos",
      "starthotkey:Alt+Q",
      "hidehotkey:",
      "recordaudio:1",
      "delaytime:2500",
      "ffmpegpath:/opt/ff",
      "preset:fast",
      "tune:zerolatency",
      "quality:2",
      "100% done, %s %d %n",
      "wide \u00e9\u4e2d %S 50%",
      "RecordData-VideoFile:/rec/vid\u00e9o \U0001F600.h264",
      "RecordData-AudioFile:null",
      "RecordData-VideoDuration:3033",
      "RecordData-AudioOffset:120",
      "RecordData-VideoFile:null",
      "RecordData-AudioFile:null",
      "Screen recording successful.",
  };
  EXPECT_EQ(run.lines, expected) << run.output;
  const std::vector<std::string> calls{
      "SetEncodeParameters codec=libx264 fps=30 quality=2 bitrate=4000 extra=[ -preset fast -tune zerolatency]",
      "SetTmpOutputDirectory [/my vidéos]",
      "SetFFMpegPath [/opt/ff]",
      "SetCaptureAudio 1",
      "SetHotKey [Alt+Q] []",
      "SetDelayTime 2500",
      "SetLogHandler both",
      "SetMainAppWnd message-only KorvexRecordViewerWnd",
      "LaunchRecorder parent=host window skin=skin-blue region=480,270,1440,810",
      "after record 1: StopVideoRecorder calls 1",
      "after record 0: StopVideoRecorder calls 2",
  };
  EXPECT_EQ(Lines(callLog_), calls);
}

TEST_F(HostProgram, AbsentOptionsPassEmptyTextsAndZeros) {
  HostFolder host("libfake_qelrecorder_full.so");
  // Only an unknown option: nothing is echoed, and -delaytime's value starts
  // with '-', so it is empty.
  const HostRun run = RunProgram(host.program(), {"-unknown", "7", "-delaytime", "-5"});
  ASSERT_TRUE(run.started);
  EXPECT_EQ(run.exitCode, 0);
  ASSERT_FALSE(run.lines.empty());
  EXPECT_EQ(run.lines.front(), "delaytime:");
  const std::vector<std::string> calls = Lines(callLog_);
  ASSERT_GE(calls.size(), 6u);
  EXPECT_EQ(calls[0], "SetEncodeParameters codec= fps=0 quality=0 bitrate=0 extra=[]");
  EXPECT_EQ(calls[1], "SetTmpOutputDirectory []");
  EXPECT_EQ(calls[2], "SetFFMpegPath []");
  EXPECT_EQ(calls[3], "SetCaptureAudio 0");
  EXPECT_EQ(calls[4], "SetHotKey [] []");
  EXPECT_EQ(calls[5], "SetDelayTime 0");
}

TEST_F(HostProgram, AudioIsRecordedOnlyForTheValueOne) {
  HostFolder host("libfake_qelrecorder_full.so");
  const struct {
    std::vector<std::string> args;
    const char* call;
  } cases[] = {
      {{"-recordaudio", "1"}, "SetCaptureAudio 1"},  {{"-recordaudio", "true"}, "SetCaptureAudio 0"},
      {{"-recordaudio", "01"}, "SetCaptureAudio 0"}, {{"-recordaudio", "1", "1"}, "SetCaptureAudio 0"},
      {{"-recordaudio"}, "SetCaptureAudio 0"},       {{"-r", "30"}, "SetCaptureAudio 0"},
  };
  for (const auto& c : cases) {
    std::filesystem::remove(callLog_);
    const HostRun run = RunProgram(host.program(), c.args);
    ASSERT_TRUE(run.started);
    const std::vector<std::string> calls = Lines(callLog_);
    ASSERT_GE(calls.size(), 4u) << c.args.front();
    EXPECT_EQ(calls[3], c.call) << ::testing::PrintToString(c.args);
  }
}

TEST_F(HostProgram, ResultLinesAndExitCodes) {
  const struct {
    const char* library;  // "" = none beside the program
    const char* result;   // what the fake LaunchRecorder returns
    std::vector<std::string> args;
    const char* lastLine;
    int exitCode;  // as the shell sees it: 8 bits
  } cases[] = {
      {"libfake_qelrecorder_full.so", "0", {}, "Please set external parameters.", 255},
      {"", "0", {"-r", "30"}, "Failed to load library, error:126", 0x05},
      {"libfake_qelrecorder_no_hot_key.so",
       "0",
       {"-r", "30"},
       "Cannot find export function SetHotKey() in video recorder DLL...",
       0x05},
      {"libfake_qelrecorder_no_launch.so",
       "0",
       {"-r", "30"},
       "Cannot find export function LaunchRecorder() in video recorder DLL...",
       0x05},
      {"libfake_qelrecorder_full.so", "1", {"-r", "30"}, "Cancel screen recording.", 1},
      {"libfake_qelrecorder_full.so",
       "-3",
       {"-r", "30"},
       "Device not found, virtual sound drive installation maybe failed.",
       253},
      {"libfake_qelrecorder_full.so", "-1", {"-r", "30"}, "Call LaunchRecorder failed.", 255},
      {"libfake_qelrecorder_full.so", "7", {"-r", "30"}, "Call LaunchRecorder failed.", 7},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.library) + " result " + c.result);
    HostFolder host(c.library);
    ScopedEnv result("FAKE_RECORDER_RESULT", std::string(c.result));
    std::filesystem::remove(callLog_);
    const HostRun run = RunProgram(host.program(), c.args);
    ASSERT_TRUE(run.started);
    ASSERT_FALSE(run.lines.empty());
    EXPECT_EQ(run.lines.back(), c.lastLine) << run.output;
    EXPECT_EQ(run.exitCode, c.exitCode);
  }
}

TEST_F(HostProgram, MissingExportStopsTheBindingThere) {
  HostFolder host("libfake_qelrecorder_no_hot_key.so");
  const HostRun run = RunProgram(host.program(), {"-r", "30"});
  ASSERT_TRUE(run.started);
  const std::vector<std::string> calls = Lines(callLog_);
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[3], "SetCaptureAudio 0");
}

TEST_F(HostProgram, FileThatIsNoLibraryIsABadFormat) {
  HostFolder host("");
  qel::test::writeFile(host.file("libqelrecorder.so"), "not a shared object\n");
  const HostRun run = RunProgram(host.program(), {"-r", "30"});
  ASSERT_TRUE(run.started);
  ASSERT_FALSE(run.lines.empty());
  EXPECT_EQ(run.lines.back(), "Failed to load library, error:193");
  EXPECT_EQ(run.exitCode, 0x05);
}

// The real recorder: its dialog closed by its caption's close button before any
// recording (the other close buttons stay hidden until an area is chosen).
TEST_F(HostProgram, CancelledDialogEndsWithOne) {
  ScopedEnv script("QEL_SCRIPT", std::string("300 click IDC_BTN_CLOSE_WINDOW"));
  qel::test::TempDir out;
  const HostRun run = RunProgram(qel::test::binDir() + "/QelRecorder",
                                 {"-r", "30", "-outputpath", out.path(), "-ffmpegpath", qel::test::binDir()});
  ASSERT_TRUE(run.started);
  ASSERT_FALSE(run.lines.empty());
  EXPECT_EQ(run.lines.back(), "Cancel screen recording.") << run.output;
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.output.find("RecordData-"), std::string::npos);
}

// The real recorder whose start fails (no ffmpeg in the folder given): the
// empty result is printed, and the run ends as a failure, never as a
// successful recording.
TEST_F(HostProgram, FailedStartIsReportedAsAFailure) {
  ScopedEnv script("QEL_SCRIPT", std::string("300 hotkey Control+F5"));
  qel::test::TempDir out;
  qel::test::TempDir noFfmpeg;
  const HostRun run = RunProgram(qel::test::binDir() + "/QelRecorder", {"-r", "30", "-recordaudio", "0", "-outputpath",
                                                                        out.path(), "-ffmpegpath", noFfmpeg.path()});
  ASSERT_TRUE(run.started);
  ASSERT_GE(run.lines.size(), 3u) << run.output;
  const std::vector<std::string> tail(run.lines.end() - 3, run.lines.end());
  const std::vector<std::string> expected = {"RecordData-VideoFile:null", "RecordData-AudioFile:null",
                                             "Call LaunchRecorder failed."};
  EXPECT_EQ(tail, expected) << run.output;
  EXPECT_EQ(run.output.find("Screen recording successful."), std::string::npos);
  EXPECT_EQ(run.exitCode, 255);
}

// The real recorder: a -preset value that carries further ffmpeg arguments (an
// extra output outside the output folder) is refused before anything is
// recorded, and no file is written anywhere.
TEST_F(HostProgram, PresetThatAddsAnOutputIsRefused) {
  ScopedEnv script("QEL_SCRIPT", std::string("300 hotkey Control+F5; 1300 hotkey Control+F5"));
  qel::test::TempDir out;
  qel::test::TempDir elsewhere;
  const std::string injected = elsewhere.file("INJECTED.h264");
  const HostRun run =
      RunProgram(qel::test::binDir() + "/QelRecorder", {"-r", "30", "-preset", "ultrafast -f h264 " + injected,
                                                        "-outputpath", out.path(), "-ffmpegpath", qel::test::binDir()});
  ASSERT_TRUE(run.started);
  ASSERT_FALSE(run.lines.empty());
  EXPECT_EQ(run.lines.back(), "Option -preset takes one word; the value \"ultrafast -f h264 " + injected +
                                  "\" is refused, nothing is recorded.")
      << run.output;
  EXPECT_EQ(run.exitCode, 255);
  EXPECT_FALSE(std::filesystem::exists(injected));
  EXPECT_TRUE(std::filesystem::is_empty(out.path())) << run.output;
}

// The real recorder given an output folder the result record cannot hold:
// the run fails with its reason on standard output (the folder is given
// before the host's log handler exists), and nothing is recorded anywhere, the
// temporary folder (the default output folder) included.
TEST_F(HostProgram, OverlongOutputFolderFailsVisiblyAndRecordsNothing) {
  ScopedEnv script("QEL_SCRIPT", std::string("300 hotkey Control+F5; 1300 hotkey Control+F5"));
  qel::test::TempDir tmp;
  ScopedEnv tmpdir("TMPDIR", tmp.path());
  std::string folder = tmp.path();
  while (folder.size() < 600) folder += "/abcdefghij";
  const HostRun run = RunProgram(qel::test::binDir() + "/QelRecorder",
                                 {"-r", "30", "-outputpath", folder, "-ffmpegpath", qel::test::binDir()});
  ASSERT_TRUE(run.started);
  ASSERT_GE(run.lines.size(), 2u) << run.output;
  EXPECT_EQ(run.lines[run.lines.size() - 2],
            "Output folder longer than 259 characters, nothing is recorded: " + folder);
  EXPECT_EQ(run.lines.back(), "Call LaunchRecorder failed.");
  EXPECT_EQ(run.exitCode, 255);
  EXPECT_EQ(run.output.find("RecordData-VideoFile:/"), std::string::npos) << run.output;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(tmp.path())) {
    EXPECT_FALSE(entry.is_regular_file()) << entry.path();
  }
}

}  // namespace
}  // namespace qelhost::test
