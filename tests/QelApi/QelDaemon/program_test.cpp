// The built QelDaemon program as a front end starts it: flag checks and their
// exit codes, the default port, start-up failure and the exit rule of a whole run.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <optional>
#include <sstream>
#include <vector>
#include <thread>

#include <boost/asio/ip/tcp.hpp>

#include "common/process_table.h"
#include "common/subprocess.h"
#include "QelApi/QelDaemon/foreign_user.h"
#include "QelApi/QelDaemon/probe_gate.h"
#include "QelApi/QelDaemon/test_client.h"
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
    makeBinFolder(bin_);
    appdata_ = dir_.file("appdata");
    fs::create_directories(appdata_);
    for (const char* name : kEnvNames) env_.emplace_back(name, std::nullopt);
    // The child inherits the environment: its folders go under this test's folder.
    ::setenv("appdata", appdata_.c_str(), 1);
  }

  static constexpr const char* kEnvNames[] = {"APPDATA", "appdata", "AppData", "TMPDIR", "XDG_DATA_HOME"};

  // A program folder: the program copied, the library and the ffmpeg links
  // pointing at the build's.
  static void makeBinFolder(const std::string& folder) {
    fs::create_directories(folder);
    fs::copy_file(binDir() + "/QelDaemon", folder + "/QelDaemon");
    fs::create_symlink(binDir() + "/libQelApi.so", folder + "/libQelApi.so");
    fs::create_symlink(ffmpegPath(), folder + "/ffmpeg");
    fs::create_symlink(ffprobePath(), folder + "/ffprobe");
  }

  // Starts the program with `args`; stderr is captured.
  void start(Subprocess& child, std::vector<std::string> args) { startFrom(bin_, child, std::move(args)); }

  // The same from the program folder `folder`.
  void startFrom(const std::string& folder, Subprocess& child, std::vector<std::string> args) {
    args.insert(args.begin(), folder + "/QelDaemon");
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

  // Reads stderr until it ends or `timeout` has passed; true when it ended
  // (the program has exited or is about to).
  static bool stderrEnds(Subprocess& child, std::string& err, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      ReadStatus status = child.readSomeStderr(err, std::chrono::milliseconds(100));
      if (status == ReadStatus::EndOfFile || status == ReadStatus::Error) return true;
    }
    return false;
  }

  // The first running process whose command line starts with `prefix` and
  // holds `part`; 0 when none appears within `timeout`.
  static pid_t waitForProcess(const std::string& prefix, const std::string& part, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
      for (const ProcessEntry& process : listProcesses()) {
        if (process.state != 'Z' && process.commandLine.rfind(prefix, 0) == 0 &&
            process.commandLine.find(part) != std::string::npos) {
          return process.pid;
        }
      }
      if (std::chrono::steady_clock::now() >= deadline) return 0;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
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
    boost::asio::ip::tcp::acceptor acceptor(ioc,
                                            boost::asio::ip::tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
    return acceptor.local_endpoint().port();
  }

  // A "starttask" whose ffmpeg reads a 30 s clip at its own pace (-re), so it
  // is still running when the test wants it to.
  static std::string slowTask(const std::string& clip, const std::string& out) {
    return "{\"sid\":5,\"op\":\"starttask\",\"taskId\":31,\"operations\":[{\"input\":[{\"type\":1,\"value\":\"" + clip +
           "\",\"prevOp\":\"-re\"}],\"transform\":\"-vf scale=80:60\",\"output\":[{\"type\":1,\"value\":\"" + out +
           "\"}]}]}";
  }

  // True when ffmpeg has created its file for `out`: until the command has
  // succeeded it writes beside `out`, in a private folder "qel-XXXXXX".
  static bool stagedOutputExists(const std::string& out) {
    const fs::path path(out);
    const std::string prefix = "qel-";
    std::error_code ec;
    for (fs::directory_iterator entry(path.parent_path(), ec), end; !ec && entry != end; entry.increment(ec)) {
      if (entry->path().filename().string().rfind(prefix, 0) == 0 && fs::exists(entry->path() / path.filename())) {
        return true;
      }
    }
    return false;
  }

  // The pid of the ffmpeg started from this test's program folder, once it is
  // running and has created its file for `out`; 0 when that does not happen
  // in time.
  pid_t waitForOwnFfmpeg(const std::string& out) {
    const std::string program = bin_ + "/ffmpeg ";
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
      if (stagedOutputExists(out)) {
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
  // The variables unset for the test (and "appdata" set), restored when the fixture dies.
  std::deque<ScopedEnv> env_;
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

// A daemon started in a user namespace without a map (`unshare -U`) reads its
// own user as the overflow uid, and every other user of the machine as the
// same number: it can tell no connection to be its user's. It serves none,
// its log says why, and a refused client that leaves does not end it.
TEST_F(ProgramTest, InAUserNamespaceWithoutAMapNoOneIsServed) {
  SpawnOptions options;
  options.stdoutMode = ChildOutput::Null;
  options.stderrMode = ChildOutput::Pipe;
  {
    Subprocess probe;
    std::string error;
    if (!probe.start({"unshare", "-U", "true"}, options, error)) GTEST_SKIP() << "no unshare program: " << error;
    std::string err;
    if (finish(probe, err) != 0) GTEST_SKIP() << "no user namespace may be made here: " << err;
  }
  const uint16_t port = freePort();
  Subprocess child;
  std::string error;
  // unshare(1) makes the namespace and runs the program in it, as itself.
  ASSERT_TRUE(child.start({"unshare", "-U", bin_ + "/QelDaemon", "--port=" + std::to_string(port)}, options, error))
      << error;
  std::string err;
  ASSERT_TRUE(waitForText(child, err, "QelDaemon is running")) << err;

  EXPECT_EQ(upgradeStatus(port, {{"Host", "127.0.0.1:" + std::to_string(port)}}), 403) << "this test's own user";
  if (CanActAsAnotherUser()) {
    ForeignClient other(1234, port, UpgradeRequest(port), TextFrames({"{\"sid\":1,\"op\":\"quit\"}"}));
    std::string childError;
    EXPECT_EQ(other.received(childError).rfind("HTTP/1.1 403 ", 0), 0u) << "user 1234 " << childError;
  }
  EXPECT_FALSE(stderrEnds(child, err, std::chrono::milliseconds(300))) << "a refused client ended the daemon: " << err;
  const std::string log = readFile(appdata_ + "/Korvex/Logs/QelApi.log");
  EXPECT_NE(log.find("the overflow uid, which stands for every user without a mapping in its user namespace: no "
                     "connection can be told to be that user's, so none is served"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("WebSocket upgrade refused: the user of the connection is unknown: it reads as uid"),
            std::string::npos)
      << log;
  ASSERT_EQ(::kill(child.pid(), SIGTERM), 0);
  EXPECT_EQ(finish(child, err), 0) << err;
}

// Linux environment names are case-sensitive; the daemon reads "APPDATA", then
// "appdata", then any other spelling, and falls back to the user's data folder
// ($XDG_DATA_HOME here), never to the temporary folder that all users share.
TEST_F(ProgramTest, FoldersFollowTheAppdataVariable) {
  const std::string upper = dir_.file("upper");
  const std::string lower = dir_.file("lower");
  const std::string mixed = dir_.file("mixed");
  const std::string data = dir_.file("data");
  const std::string temp = dir_.file("tmp");
  for (const auto& folder : {upper, lower, mixed, data, temp}) fs::create_directories(folder);
  struct Case {
    const char* name;
    std::vector<std::pair<const char*, std::string>> env;
    std::string folderBase;
  } cases[] = {
      {"APPDATA", {{"APPDATA", upper}}, upper},
      {"appdata", {{"appdata", lower}}, lower},
      {"AppData", {{"AppData", mixed}}, mixed},
      {"APPDATA before appdata", {{"APPDATA", upper}, {"appdata", lower}}, upper},
      {"empty APPDATA is unset", {{"APPDATA", ""}, {"appdata", lower}}, lower},
      {"none", {}, data},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const char* name : kEnvNames) ::unsetenv(name);
    ::setenv("TMPDIR", temp.c_str(), 1);
    ::setenv("XDG_DATA_HOME", data.c_str(), 1);
    for (const auto& [name, value] : c.env) ::setenv(name, value.c_str(), 1);
    for (const auto& folder : {upper, lower, mixed, data}) fs::remove_all(folder + "/Korvex");

    uint16_t port = freePort();
    Subprocess child;
    start(child, {"--port=" + std::to_string(port)});
    std::string err;
    ASSERT_TRUE(waitForText(child, err, "QelDaemon is running")) << err;
    EXPECT_TRUE(fs::is_directory(c.folderBase + "/Korvex/Logs"));
    EXPECT_TRUE(fs::is_directory(c.folderBase + "/Korvex/thumbnail"));
    EXPECT_TRUE(fs::exists(c.folderBase + "/Korvex/Logs/QelApi.log"));
    EXPECT_FALSE(fs::exists(temp + "/QelApi.log")) << "the log went to the shared temporary folder";
    for (const auto& folder : {upper, lower, mixed, data}) {
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

// A user on a shared machine: "appdata" unset, the temporary folder everyone's.
// The program keeps its thumbnails in the user's data folder (0700), writes
// nothing into the temporary folder (not even through a link planted under the
// hardware probe's clip name), and "cleanthumbnail" removes only thumbnails of
// runs that have ended: never those of a live run, never files that merely
// look like thumbnails.
TEST_F(ProgramTest, FilesStayInTheUsersFolderAndCleaningSparesLiveRuns) {
  for (const char* name : kEnvNames) ::unsetenv(name);
  const std::string temp = dir_.file("tmp");
  const std::string data = dir_.file("data");
  const std::string elsewhere = dir_.file("elsewhere");
  for (const auto& folder : {temp, elsewhere}) fs::create_directories(folder);
  ::setenv("TMPDIR", temp.c_str(), 1);
  ::setenv("XDG_DATA_HOME", data.c_str(), 1);
  const std::string victim = elsewhere + "/hwvictim.txt";
  writeFile(victim, "not a video");
  fs::create_symlink(victim, temp + "/qel_hw_test.mp4");
  const std::vector<std::string> lookalikes{"README_1.png", "Scan01_15.png", "abc123_0.png", "photo1_2.png"};
  for (const auto& name : lookalikes) writeFile(temp + "/" + name, "x");
  const std::string clip = dir_.file("clip.mp4");
  makeClip(clip, ClipSpec{});
  const std::string thumbnails = data + "/Korvex/thumbnail";

  auto startRun = [&](Subprocess& child, TestClient& client, std::string& err) {
    const uint16_t port = freePort();
    start(child, {"--port=" + std::to_string(port)});
    ASSERT_TRUE(waitForText(child, err, "QelDaemon is running")) << err;
    std::string error;
    ASSERT_TRUE(client.connect(port, error)) << error;
  };
  // Answers "cleanthumbnail", then a ping: requests run in order, so the
  // cleaning is over once the ping is answered.
  auto clean = [](TestClient& client) {
    EXPECT_EQ(client.request("{\"sid\":2,\"op\":\"cleanthumbnail\"}").value_or(""),
              "{\"sid\":2,\"error\":false,\"errorCode\":0,\"errorDetail\":\"\"}");
    EXPECT_EQ(client.request("{\"sid\":3,\"op\":\"ping\"}").value_or(""), "{\"sid\":3,\"pong\":\"ok\"}");
  };
  auto lookalikesStay = [&](const std::string& folder) {
    for (const auto& name : lookalikes) EXPECT_TRUE(fs::exists(folder + "/" + name)) << folder << "/" << name;
  };

  Subprocess first;
  TestClient firstClient;
  std::string firstErr;
  startRun(first, firstClient, firstErr);
  if (HasFatalFailure()) return;
  const std::string reply =
      firstClient.request("{\"sid\":1,\"op\":\"getmediaprops\",\"path\":\"" + clip + "\"}").value_or("");
  const std::string key = "\"thumbnail\":\"";
  const size_t at = reply.find(key);
  ASSERT_NE(at, std::string::npos) << reply;
  const std::string thumbnail = reply.substr(at + key.size(), reply.find('"', at + key.size()) - at - key.size());
  EXPECT_EQ(fs::path(thumbnail).parent_path(), fs::path(thumbnails)) << reply;
  ASSERT_TRUE(fs::exists(thumbnail)) << reply;
  for (const auto& folder : {data + "/Korvex/Logs", thumbnails}) {
    EXPECT_EQ(fs::status(folder).permissions(), fs::perms::owner_all) << folder;
  }
  for (const auto& name : lookalikes) writeFile(thumbnails + "/" + name, "x");

  // A second run cleans while the first lives.
  Subprocess second;
  TestClient secondClient;
  std::string secondErr;
  startRun(second, secondClient, secondErr);
  if (HasFatalFailure()) return;
  clean(secondClient);
  EXPECT_TRUE(fs::exists(thumbnail)) << "a live run's thumbnail was removed";
  lookalikesStay(temp);
  lookalikesStay(thumbnails);

  // Once the first run has ended, the next cleaning takes its thumbnail.
  EXPECT_EQ(firstClient.request("{\"sid\":4,\"op\":\"quit\"}").value_or(""), "{\"sid\":4,\"taskId\":0}");
  EXPECT_EQ(finish(first, firstErr), 0) << firstErr;
  clean(secondClient);
  EXPECT_FALSE(fs::exists(thumbnail)) << "an ended run's thumbnail stayed";
  lookalikesStay(temp);
  lookalikesStay(thumbnails);
  ASSERT_TRUE(secondClient.send("{\"sid\":5,\"op\":\"quit\"}"));
  EXPECT_EQ(finish(second, secondErr), 0) << secondErr;

  EXPECT_EQ(readFile(victim), "not a video");
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(temp)) left.push_back(entry.path().filename().string());
  std::sort(left.begin(), left.end());
  std::vector<std::string> planted = lookalikes;
  planted.push_back("qel_hw_test.mp4");
  std::sort(planted.begin(), planted.end());
  EXPECT_EQ(left, planted) << "the program left files in the temporary folder";
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

// SIGTERM, SIGINT and SIGHUP end the program as "quit" does: the running
// task's ffmpeg ends, its unfinished output is removed, and the exit code is 0.
TEST_F(ProgramTest, TerminationSignalsEndTheRunAsQuitDoes) {
  const std::string clip = dir_.file("slow.mp4");
  ClipSpec recipe;
  recipe.seconds = 30;
  makeClip(clip, recipe);
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
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
    EXPECT_FALSE(fs::exists(out)) << "the output exists while ffmpeg still writes it";

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

// The end of a run does not wait for the programs of engine calls: a start-up
// probe (the hardware test, here a stand-in ffmpeg that answers only when the
// test lets it) or a "getmediaprops" probe (a stand-in ffprobe) is ended, and
// the program exits at once on SIGTERM, SIGINT, SIGHUP or "quit". The bound
// is generous for a busy machine; without the ending the stand-in would hold
// the program until the test releases it after the bound.
TEST_F(ProgramTest, EndingDoesNotWaitForRunningProbes) {
  const std::string clip = dir_.file("clip.mp4");
  makeClip(clip);
  constexpr auto kPromptBound = std::chrono::seconds(20);
  constexpr int kQuit = 0;
  struct Case {
    const char* standIn;  // the program of the folder that waits
    int signal;           // kQuit: the "quit" request
  };
  std::vector<Case> cases;
  for (const char* standIn : {"ffmpeg", "ffprobe"}) {
    for (int signal : {SIGTERM, SIGINT, SIGHUP, kQuit}) cases.push_back({standIn, signal});
  }
  int number = 0;
  for (const Case& c : cases) {
    const std::string how = c.signal == kQuit ? std::string("quit") : std::string(sigabbrev_np(c.signal));
    SCOPED_TRACE(std::string(c.standIn) + " " + how);
    const std::string folder = dir_.file("bin-" + std::to_string(++number));
    makeBinFolder(folder);
    fs::remove(folder + "/" + c.standIn);
    fs::create_symlink(binDir() + "/qel_gated_ffprobe", folder + "/" + c.standIn);
    ProbeGate gate(folder, c.standIn);

    uint16_t port = freePort();
    Subprocess child;
    startFrom(folder, child, {"--port=" + std::to_string(port)});
    std::string err;
    ASSERT_TRUE(waitForText(child, err, "QelDaemon is running")) << err;
    // The probe's request and the quit come on two connections: each
    // connection's requests are handled in order, so a quit sent behind the
    // request on the same connection would wait for it.
    TestClient client;
    TestClient prober;
    std::string error;
    ASSERT_TRUE(client.connect(port, error)) << error;
    if (std::string(c.standIn) == "ffprobe") {
      ASSERT_TRUE(prober.connect(port, error)) << error;
      ASSERT_TRUE(prober.send("{\"sid\":1,\"op\":\"getmediaprops\",\"path\":\"" + clip + "\"}"));
    }
    ASSERT_TRUE(gate.waitStarted(std::chrono::seconds(60))) << "the stand-in did not start";
    const pid_t standIn = waitForProcess(folder + "/" + c.standIn + " ", "", std::chrono::seconds(10));
    ASSERT_NE(standIn, 0);

    const auto asked = std::chrono::steady_clock::now();
    if (c.signal == kQuit) {
      ASSERT_TRUE(client.send("{\"sid\":2,\"op\":\"quit\"}"));
    } else {
      ASSERT_EQ(::kill(child.pid(), c.signal), 0);
    }
    const bool ended = stderrEnds(child, err, kPromptBound);
    const auto took = std::chrono::steady_clock::now() - asked;
    EXPECT_TRUE(ended) << "still running " << kPromptBound.count() << " s after it was asked to end";
    gate.release();  // lets a stand-in that was not ended answer, so the program can end
    EXPECT_EQ(child.wait(), 0) << err;
    EXPECT_LT(took, kPromptBound);
    EXPECT_TRUE(waitEnded(standIn, std::chrono::seconds(10))) << "the probe's program outlived the daemon";
  }
}

// A second program started from the same folder (on another port) leaves
// the first one's running task alone: its ffmpeg is live work, not a stray.
TEST_F(ProgramTest, SecondProgramFromTheFolderSparesTheFirstOnesTask) {
  const std::string clip = dir_.file("slow.mp4");
  ClipSpec recipe;
  recipe.seconds = 30;
  makeClip(clip, recipe);
  const std::string out = dir_.file("first.mp4");
  uint16_t firstPort = freePort();
  Subprocess first;
  start(first, {"--port=" + std::to_string(firstPort)});
  std::string firstErr;
  ASSERT_TRUE(waitForText(first, firstErr, "QelDaemon is running")) << firstErr;
  TestClient client;
  std::string error;
  ASSERT_TRUE(client.connect(firstPort, error)) << error;
  ASSERT_TRUE(client.send(slowTask(clip, out)));
  // Found by its input: its output is named in a private folder until it ends.
  const pid_t ffmpeg = waitForProcess(bin_ + "/ffmpeg ", clip, std::chrono::seconds(60));
  ASSERT_NE(ffmpeg, 0) << "the first program's task did not start";

  Subprocess second;
  start(second, {"--port=" + std::to_string(freePort())});
  std::string secondErr;
  ASSERT_TRUE(waitForText(second, secondErr, "QelDaemon is running")) << secondErr;
  EXPECT_FALSE(waitEnded(ffmpeg, std::chrono::milliseconds(0))) << "the second program ended the first one's task";
  const std::optional<std::string> state = client.request("{\"sid\":6,\"op\":\"gettaskstate\",\"taskId\":31}");
  EXPECT_NE(state.value_or("").find("\"errorCode\":0"), std::string::npos) << state.value_or("");

  for (Subprocess* program : {&second, &first}) ::kill(program->pid(), SIGTERM);
  EXPECT_EQ(finish(second, secondErr), 0) << secondErr;
  EXPECT_EQ(finish(first, firstErr), 0) << firstErr;
}

// A recording whose ffmpeg runs from the program's folder keeps its video
// when the program starts meanwhile.
TEST_F(ProgramTest, RecordingFromTheFolderKeepsItsVideo) {
  const std::string videos = dir_.file("videos");
  fs::create_directories(videos);
  Subprocess recorder;
  {
    // A simulated screen recorded from 0.5 s to 6.5 s after the start.
    ScopedEnv backing("QEL_BACKING", std::string("sim"));
    ScopedEnv script("QEL_SCRIPT", std::string("500 hotkey Control+F5; 6500 hotkey Control+F5"));
    SpawnOptions options;
    options.stdoutMode = ChildOutput::Pipe;
    options.stderrMode = ChildOutput::Null;
    std::string error;
    ASSERT_TRUE(recorder.start(
        {binDir() + "/QelRecorder", "-r", "30", "-recordaudio", "0", "-outputpath", videos, "-ffmpegpath", bin_},
        options, error))
        << error;
  }
  const pid_t encoder = waitForProcess(bin_ + "/ffmpeg ", "", std::chrono::seconds(30));
  ASSERT_NE(encoder, 0) << "the recording did not start its ffmpeg";

  Subprocess program;
  start(program, {"--port=" + std::to_string(freePort())});
  std::string err;
  ASSERT_TRUE(waitForText(program, err, "QelDaemon is running")) << err;
  EXPECT_FALSE(waitEnded(encoder, std::chrono::milliseconds(0))) << "the program ended the recording's ffmpeg";
  ::kill(program.pid(), SIGTERM);
  EXPECT_EQ(finish(program, err), 0) << err;

  std::string lines;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (std::chrono::steady_clock::now() < deadline) {
    const ReadStatus status = recorder.readSome(lines, std::chrono::milliseconds(200));
    if (status == ReadStatus::EndOfFile || status == ReadStatus::Error) break;
  }
  EXPECT_EQ(recorder.wait(), 0) << lines;
  const std::string key = "RecordData-VideoFile:";
  const size_t at = lines.find(key);
  ASSERT_NE(at, std::string::npos) << lines;
  const std::string video = lines.substr(at + key.size(), lines.find('\n', at) - at - key.size());
  const CapturedRun frames = runAndCapture({ffprobePath(), "-v", "error", "-count_frames", "-select_streams", "v:0",
                                            "-show_entries", "stream=nb_read_frames", "-of", "csv=p=0", video},
                                           true);
  // Six seconds at 30 frames a second; a busy machine may drop some, a lost
  // encoder leaves next to nothing.
  EXPECT_GE(std::atoi(frames.output.c_str()), 60) << frames.output;
}

// At the descriptor limit the accept loop waits between its tries instead of
// spinning, and accepts again once connections have closed.
TEST_F(ProgramTest, AcceptBacksOffAtTheDescriptorLimit) {
  // The start-up probe waits on a stand-in, so nothing else of the program
  // opens or closes descriptors while the test counts them.
  fs::remove(bin_ + "/ffmpeg");
  fs::create_symlink(binDir() + "/qel_gated_ffprobe", bin_ + "/ffmpeg");
  ProbeGate gate(bin_, "ffmpeg");
  uint16_t port = freePort();
  Subprocess child;
  start(child, {"--port=" + std::to_string(port)});
  std::string err;
  ASSERT_TRUE(waitForText(child, err, "QelDaemon is running")) << err;
  ASSERT_TRUE(gate.waitStarted(std::chrono::seconds(60)));

  const std::string fdFolder = "/proc/" + std::to_string(child.pid()) + "/fd";
  auto openDescriptors = [&] {
    std::error_code ec;
    return static_cast<rlim_t>(std::distance(fs::directory_iterator(fdFolder, ec), fs::directory_iterator()));
  };
  const rlim_t limit = openDescriptors() + 4;
  rlimit current{};
  ASSERT_EQ(::prlimit(child.pid(), RLIMIT_NOFILE, nullptr, &current), 0) << std::strerror(errno);
  rlimit lowered{limit, current.rlim_max};
  ASSERT_EQ(::prlimit(child.pid(), RLIMIT_NOFILE, &lowered, nullptr), 0) << std::strerror(errno);

  // Idle connections: four fill the table, the rest wait in the backlog.
  std::vector<int> sockets;
  auto connectOne = [port]() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      ::close(fd);
      return -1;
    }
    return fd;
  };
  for (int i = 0; i < 12; ++i) {
    const int fd = connectOne();
    ASSERT_GE(fd, 0) << std::strerror(errno);
    sockets.push_back(fd);
  }
  const auto full = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (openDescriptors() < limit && std::chrono::steady_clock::now() < full) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_GE(openDescriptors(), limit) << "the program did not reach its descriptor limit";

  // CPU time of the whole program over a few seconds at the limit: a loop
  // that retries at once takes a core, one that waits next to nothing.
  auto cpuSeconds = [&] {
    const std::string stat = readFile("/proc/" + std::to_string(child.pid()) + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int index = 3; fields >> field; ++index) {
      if (index == 14 || index == 15) ticks += std::stod(field);  // utime, stime
    }
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
  };
  const double before = cpuSeconds();
  std::this_thread::sleep_for(std::chrono::seconds(5));
  const double used = cpuSeconds() - before;
  EXPECT_LT(used, 0.3) << "CPU seconds used in 5 s at the descriptor limit";

  // Connections close, and a new one is served.
  for (size_t i = 2; i < sockets.size(); ++i) ::close(sockets[i]);
  sockets.resize(2);
  const int ping = connectOne();
  ASSERT_GE(ping, 0);
  const std::string request = "GET /ping HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  ASSERT_EQ(::write(ping, request.data(), request.size()), static_cast<ssize_t>(request.size()));
  std::string answer;
  const auto answered = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < answered) {
    pollfd readable{ping, POLLIN, 0};
    if (::poll(&readable, 1, 200) != 1) continue;
    char buffer[512];
    const ssize_t got = ::read(ping, buffer, sizeof buffer);
    if (got <= 0) break;
    answer.append(buffer, static_cast<size_t>(got));
  }
  EXPECT_NE(answer.find("{\"pong\":1}"), std::string::npos) << answer;
  ::close(ping);
  for (int fd : sockets) ::close(fd);

  ::kill(child.pid(), SIGTERM);
  EXPECT_EQ(finish(child, err), 0) << err;
}

}  // namespace
}  // namespace qel::test
