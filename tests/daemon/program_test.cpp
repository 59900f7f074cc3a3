// The built QelDaemon program as a front end starts it: flag checks and their
// exit codes, the default port, start-up failure and the exit rule of a whole run.
#include <gtest/gtest.h>

#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <vector>
#include <thread>

#include <boost/asio/ip/tcp.hpp>

#include "common/process.h"
#include "daemon/probe_gate.h"
#include "daemon/test_client.h"
#include "support/test_support.h"

namespace qel::test {
namespace {

namespace fs = std::filesystem;

// The program runs from a private copy of the bin folder layout (the program
// itself copied, the library and the ffmpeg links pointing at the build's), so
// that ending stray ffmpeg processes "of its folder" at start-up cannot touch
// ffmpeg processes of tests that run at the same time.
class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bin_ = dir_.file("bin");
    fs::create_directories(bin_);
    fs::copy_file(binDir() + "/QelDaemon", bin_ + "/QelDaemon");
    fs::create_symlink(binDir() + "/libQelApi.so", bin_ + "/libQelApi.so");
    fs::create_symlink(ffmpegPath(), bin_ + "/ffmpeg");
    fs::create_symlink(ffprobePath(), bin_ + "/ffprobe");
    appdata_ = dir_.file("appdata");
    fs::create_directories(appdata_);
    for (const char* name : kEnvNames) {
      const char* old = std::getenv(name);
      saved_.push_back(old != nullptr ? std::optional<std::string>(old) : std::nullopt);
      ::unsetenv(name);
    }
    // The child inherits the environment: its folders go under this test's folder.
    ::setenv("appdata", appdata_.c_str(), 1);
  }

  void TearDown() override {
    for (size_t i = 0; i < std::size(kEnvNames); ++i) {
      if (saved_[i]) {
        ::setenv(kEnvNames[i], saved_[i]->c_str(), 1);
      } else {
        ::unsetenv(kEnvNames[i]);
      }
    }
  }

  static constexpr const char* kEnvNames[] = {"APPDATA", "appdata", "AppData", "TMPDIR"};

  // Starts the program with `args`; stderr is captured.
  void start(Subprocess& child, std::vector<std::string> args) {
    args.insert(args.begin(), bin_ + "/QelDaemon");
    SpawnOptions options;
    options.stdoutMode = ChildOutput::Null;
    options.stderrMode = ChildOutput::Pipe;
    std::string error;
    ASSERT_TRUE(child.start(args, options, error)) << error;
  }

  // Reads stderr until it ends; returns the exit code.
  int finish(Subprocess& child, std::string& err) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
      ReadStatus status = child.readSomeStderr(err, std::chrono::milliseconds(200));
      if (status == ReadStatus::EndOfFile || status == ReadStatus::Error) break;
    }
    return child.wait();
  }

  // Reads stderr until it holds `text` (the program writes it once ready).
  bool waitForText(Subprocess& child, std::string& err, const std::string& text) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (err.find(text) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      ReadStatus status = child.readSomeStderr(err, std::chrono::milliseconds(200));
      if (status == ReadStatus::EndOfFile || status == ReadStatus::Error) break;
    }
    return err.find(text) != std::string::npos;
  }

  // Runs the program to its end with `args`.
  int run(std::vector<std::string> args, std::string& err) {
    Subprocess child;
    start(child, std::move(args));
    return finish(child, err);
  }

  // A port nothing listens on right now.
  static uint16_t freePort() {
    boost::asio::io_context ioc;
    boost::asio::ip::tcp::acceptor acceptor(
        ioc, boost::asio::ip::tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
    return acceptor.local_endpoint().port();
  }

  // A "starttask" whose ffmpeg reads a 30 s clip at its own pace (-re), so it
  // is still running when the test wants it to.
  static std::string slowTask(const std::string& clip, const std::string& out) {
    return "{\"sid\":5,\"op\":\"starttask\",\"taskId\":31,\"operations\":[{\"input\":[{\"type\":1,\"value\":\"" +
           clip + "\",\"prevOp\":\"-re\"}],\"transform\":\"-vf scale=80:60\",\"output\":[{\"type\":1,\"value\":\"" +
           out + "\"}]}]}";
  }

  // The pid of the ffmpeg started from this test's program folder, once it is
  // running and has created `out`; 0 when that does not happen in time.
  pid_t waitForOwnFfmpeg(const std::string& out) {
    const std::string program = bin_ + "/ffmpeg ";
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
      if (fs::exists(out)) {
        for (const ProcessEntry& process : listProcesses()) {
          if (process.commandLine.rfind(program, 0) == 0) return process.pid;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return 0;
  }

  // True once `pid` has ended (gone, or a zombie waiting for a reaper that
  // is not this test) within `timeout`.
  static bool waitEnded(pid_t pid, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
      std::string stat;
      try {
        stat = readFile("/proc/" + std::to_string(pid) + "/stat");
      } catch (const std::exception&) {
        return true;
      }
      size_t paren = stat.rfind(')');
      if (paren == std::string::npos || paren + 2 >= stat.size() || stat[paren + 2] == 'Z') return true;
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

  TempDir dir_;
  std::string bin_;
  std::string appdata_;
  std::vector<std::optional<std::string>> saved_;
};

TEST_F(ProgramTest, RefusedFlagValuesEndWithExitCodeMinusOne) {
  struct Case {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{"--port=999"}, "The port number must be greater than 1000"},
      {{"--port=999", "--ffmpegPath=/"}, "The port number must be greater than 1000"},  // port first
      {{"-p", "70000"}, "The port number must be less than 65536"},
      {{"--port=65536"}, "The port number must be less than 65536"},
      {{"--port=9000", "--ffmpegPath=/"}, "The ffmpeg's path is empty"},
  };
  for (const Case& c : cases) {
    std::string err;
    EXPECT_EQ(run(c.args, err), 255) << c.args[0];
    EXPECT_NE(err.find(c.message), std::string::npos) << err;
    EXPECT_EQ(err.find("QelDaemon is running"), std::string::npos) << err;
  }
}

TEST_F(ProgramTest, MissingFfmpegMeansTheEngineDoesNotStart) {
  std::string err;
  EXPECT_EQ(run({"--port=" + std::to_string(freePort()), "--ffmpegPath=" + dir_.file("nothing-here")}, err), 0);
  EXPECT_NE(err.find("InitQelSDK failed"), std::string::npos) << err;
}

// A taken port ends the start with a line that names the port and the reason.
TEST_F(ProgramTest, BusyPortIsAStartFailure) {
  boost::asio::io_context ioc;
  boost::asio::ip::tcp::acceptor taken(ioc, boost::asio::ip::tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
  const std::string port = std::to_string(taken.local_endpoint().port());
  std::string err;
  EXPECT_EQ(run({"--port=" + port}, err), 255);
  EXPECT_NE(err.find("QelDaemon occurs some errors\ncannot listen on 127.0.0.1:" + port + ": Address already in use\n"),
            std::string::npos)
      << err;
  EXPECT_EQ(err.find("QelDaemon is running"), std::string::npos) << err;
}

TEST_F(ProgramTest, RunServesAndEndsWhenTheLastClientLeaves) {
  uint16_t port = freePort();
  Subprocess child;
  start(child, {"--port=" + std::to_string(port), "--logLevel=debug"});
  std::string err;
  ASSERT_TRUE(waitForText(child, err, "QelDaemon is running")) << err;
  EXPECT_EQ(err.substr(0, bin_.size()), bin_) << "the program path comes first";
  // Folders under $appdata.
  EXPECT_TRUE(fs::is_directory(appdata_ + "/Korvex/Logs"));
  EXPECT_TRUE(fs::is_directory(appdata_ + "/Korvex/thumbnail"));

  HttpResult ping = httpGet(port, "/ping");
  EXPECT_EQ(ping.body, "{\"pong\":1}");
  {
    TestClient client;
    std::string error;
    ASSERT_TRUE(client.connect(port, error)) << error;
    EXPECT_EQ(client.request("{\"sid\":1,\"op\":\"ping\"}").value_or(""), "{\"sid\":1,\"pong\":\"ok\"}");
    client.close();
  }
  EXPECT_EQ(finish(child, err), 0) << err;
}

// Linux environment names are case-sensitive; the daemon reads "APPDATA", then
// "appdata", then any other spelling, and falls back to the temporary folder.
TEST_F(ProgramTest, FoldersFollowTheAppdataVariable) {
  const std::string upper = dir_.file("upper");
  const std::string lower = dir_.file("lower");
  const std::string mixed = dir_.file("mixed");
  const std::string temp = dir_.file("tmp");
  for (const auto& folder : {upper, lower, mixed, temp}) fs::create_directories(folder);
  struct Case {
    const char* name;
    std::vector<std::pair<const char*, std::string>> env;
    std::string folderBase;  // "" : neither variable, everything in the temporary folder
  } cases[] = {
      {"APPDATA", {{"APPDATA", upper}}, upper},
      {"appdata", {{"appdata", lower}}, lower},
      {"AppData", {{"AppData", mixed}}, mixed},
      {"APPDATA before appdata", {{"APPDATA", upper}, {"appdata", lower}}, upper},
      {"empty APPDATA is unset", {{"APPDATA", ""}, {"appdata", lower}}, lower},
      {"none", {}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const char* name : kEnvNames) ::unsetenv(name);
    ::setenv("TMPDIR", temp.c_str(), 1);
    for (const auto& [name, value] : c.env) ::setenv(name, value.c_str(), 1);
    for (const auto& folder : {upper, lower, mixed}) fs::remove_all(folder + "/Korvex");
    fs::remove(temp + "/QelApi.log");

    uint16_t port = freePort();
    Subprocess child;
    start(child, {"--port=" + std::to_string(port)});
    std::string err;
    ASSERT_TRUE(waitForText(child, err, "QelDaemon is running")) << err;
    if (c.folderBase.empty()) {
      EXPECT_TRUE(fs::exists(temp + "/QelApi.log")) << "the log goes to the temporary folder";
    } else {
      EXPECT_TRUE(fs::is_directory(c.folderBase + "/Korvex/Logs"));
      EXPECT_TRUE(fs::is_directory(c.folderBase + "/Korvex/thumbnail"));
      EXPECT_TRUE(fs::exists(c.folderBase + "/Korvex/Logs/QelApi.log"));
    }
    for (const auto& folder : {upper, lower, mixed}) {
      if (folder != c.folderBase) {
        EXPECT_FALSE(fs::exists(folder + "/Korvex")) << folder;
      }
    }
    TestClient client;
    std::string error;
    ASSERT_TRUE(client.connect(port, error)) << error;
    client.close();
    EXPECT_EQ(finish(child, err), 0) << err;
  }
}

TEST_F(ProgramTest, QuitEndsTheProgram) {
  uint16_t port = freePort();
  Subprocess child;
  start(child, {"-p", std::to_string(port)});
  std::string err;
  ASSERT_TRUE(waitForText(child, err, "QelDaemon is running")) << err;
  TestClient client;
  std::string error;
  ASSERT_TRUE(client.connect(port, error)) << error;
  EXPECT_EQ(client.request("{\"sid\":2,\"op\":\"quit\",\"taskId\":12}").value_or(""), "{\"sid\":2,\"taskId\":12}");
  EXPECT_TRUE(client.waitClosed(std::chrono::seconds(30)));
  EXPECT_EQ(finish(child, err), 0) << err;
}

// SIGTERM and SIGINT end the program as "quit" does: the running task's
// ffmpeg ends, its unfinished output is removed, and the exit code is 0.
TEST_F(ProgramTest, TerminationSignalsEndTheRunAsQuitDoes) {
  const std::string clip = dir_.file("slow.mp4");
  ClipSpec recipe;
  recipe.seconds = 30;
  makeClip(clip, recipe);
  for (int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(sigabbrev_np(signal));
    const std::string out = dir_.file(std::string("out-") + sigabbrev_np(signal) + ".mp4");
    uint16_t port = freePort();
    Subprocess child;
    start(child, {"--port=" + std::to_string(port)});
    std::string err;
    ASSERT_TRUE(waitForText(child, err, "QelDaemon is running")) << err;
    TestClient client;
    std::string error;
    ASSERT_TRUE(client.connect(port, error)) << error;
    ASSERT_TRUE(client.send(slowTask(clip, out)));
    const pid_t ffmpeg = waitForOwnFfmpeg(out);
    ASSERT_NE(ffmpeg, 0) << "the task's ffmpeg did not start";

    ASSERT_EQ(::kill(child.pid(), signal), 0);
    EXPECT_TRUE(client.waitClosed(std::chrono::seconds(30)));
    EXPECT_EQ(finish(child, err), 0) << err;
    EXPECT_TRUE(waitEnded(ffmpeg, std::chrono::seconds(10))) << "ffmpeg outlived the daemon";
    EXPECT_FALSE(fs::exists(out)) << "the unfinished output stayed";
    const std::string log = readFile(appdata_ + "/Korvex/Logs/QelApi.log");
    EXPECT_NE(log.find(std::string("SIG") + sigabbrev_np(signal) + " (" + std::to_string(signal) + ") received"),
              std::string::npos);
    if (!waitEnded(ffmpeg, std::chrono::milliseconds(0))) ::kill(ffmpeg, SIGKILL);
  }
}

// A daemon killed outright cannot clean up; its children still end with it:
// the running task's ffmpeg, and a probe that would otherwise wait for ever
// (the gated ffprobe stand-in, which writes nothing that could fail).
TEST_F(ProgramTest, ChildrenEndWithAKilledProgram) {
  ProbeGate gate(bin_);
  const std::string clip = dir_.file("slow.mp4");
  ClipSpec recipe;
  recipe.seconds = 30;
  makeClip(clip, recipe);
  const std::string out = dir_.file("out.mp4");
  uint16_t port = freePort();
  Subprocess child;
  start(child, {"--port=" + std::to_string(port)});
  std::string err;
  ASSERT_TRUE(waitForText(child, err, "QelDaemon is running")) << err;
  TestClient tasks;
  TestClient props;
  std::string error;
  ASSERT_TRUE(tasks.connect(port, error)) << error;
  ASSERT_TRUE(props.connect(port, error)) << error;
  ASSERT_TRUE(tasks.send(slowTask(clip, out)));
  const pid_t ffmpeg = waitForOwnFfmpeg(out);
  ASSERT_NE(ffmpeg, 0) << "the task's ffmpeg did not start";
  // The task has probed its input with the real ffprobe; from now on the
  // daemon's ffprobe is the stand-in.
  fs::remove(bin_ + "/ffprobe");
  fs::create_symlink(binDir() + "/qel_gated_ffprobe", bin_ + "/ffprobe");
  ASSERT_TRUE(props.send("{\"sid\":1,\"op\":\"getmediaprops\",\"path\":\"" + clip + "\"}"));
  ASSERT_TRUE(gate.waitStarted(std::chrono::seconds(30)));
  pid_t probe = 0;
  for (const ProcessEntry& process : listProcesses()) {
    if (process.commandLine.rfind(bin_ + "/ffprobe ", 0) == 0) probe = process.pid;
  }
  ASSERT_NE(probe, 0);

  child.kill();
  EXPECT_EQ(child.wait(), 128 + SIGKILL);
  EXPECT_TRUE(waitEnded(probe, std::chrono::seconds(10))) << "the probe outlived the killed daemon";
  EXPECT_TRUE(waitEnded(ffmpeg, std::chrono::seconds(10))) << "ffmpeg outlived the killed daemon";
  for (pid_t pid : {probe, ffmpeg}) {
    if (!waitEnded(pid, std::chrono::milliseconds(0))) ::kill(pid, SIGKILL);
  }
}

TEST_F(ProgramTest, NoArgumentsListensOnTheDefaultPort) {
  if (portInUse(8800)) GTEST_SKIP() << "port 8800 is taken on this machine";
  Subprocess child;
  start(child, {});
  std::string err;
  ASSERT_TRUE(waitForText(child, err, "QelDaemon is running")) << err;
  HttpResult ping = httpGet(8800, "/ping");
  EXPECT_EQ(ping.body, "{\"pong\":1}");
  TestClient client;
  std::string error;
  ASSERT_TRUE(client.connect(8800, error)) << error;
  client.close();
  EXPECT_EQ(finish(child, err), 0) << err;
}

}  // namespace
}  // namespace qel::test
