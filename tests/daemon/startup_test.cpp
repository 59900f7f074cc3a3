// Start-up order and its failures, in-process.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <thread>

#include <boost/asio/ip/tcp.hpp>

#include "QelDaemon/daemon_app.h"
#include "common/process.h"
#include "support/test_support.h"

namespace qel {
namespace {

DaemonSettings SettingsIn(const test::TempDir& dir) {
  namespace fs = std::filesystem;
  DaemonSettings settings;
  settings.logLevel = "notice";
  settings.logFolder = dir.path();
  settings.tempFolder = dir.path();
  settings.thumbnailFolder = dir.path();
  settings.ffmpegFolder = dir.file("ffbin");
  settings.instanceId = MakeInstanceId();
  fs::create_directories(settings.ffmpegFolder);
  fs::create_symlink(test::ffmpegPath(), settings.ffmpegFolder + "/ffmpeg");
  fs::create_symlink(test::ffprobePath(), settings.ffmpegFolder + "/ffprobe");
  return settings;
}

TEST(StartupTest, ServerStartFailureShutsTheEngineDown) {
  test::TempDir dir;
  boost::asio::io_context ioc;
  boost::asio::ip::tcp::acceptor taken(ioc, boost::asio::ip::tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
  DaemonApp app;
  ASSERT_TRUE(app.startEngine(SettingsIn(dir)));
  EXPECT_NE(app.state().engine.peek(), nullptr);
  std::string error;
  EXPECT_FALSE(app.startServer(taken.local_endpoint().port(), error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(app.state().engine.peek(), nullptr);
  // A second shutdown finds nothing to do.
  EXPECT_EQ(app.state().engine.shutdown(), nullptr);
}

TEST(StartupTest, EngineRefusingTheConfigurationLeavesNoHandle) {
  test::TempDir dir;
  DaemonSettings settings = SettingsIn(dir);
  settings.ffmpegFolder = dir.file("no-ffmpeg-here");
  DaemonApp app;
  EXPECT_FALSE(app.startEngine(settings));
  EXPECT_EQ(app.state().engine.peek(), nullptr);
}

// ffmpeg and ffprobe left running from the same program folder (by an earlier
// run that was killed) are ended before the engine starts.
TEST(StartupTest, StrayFfmpegAndFfprobeOfTheFolderAreEnded) {
  test::TempDir dir;
  DaemonSettings settings = SettingsIn(dir);
  // Both wait for ever to open a FIFO that nobody writes.
  const std::string fifo = dir.file("stuck.mp4");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  SpawnOptions quiet;
  quiet.stdoutMode = ChildOutput::Null;
  quiet.stderrMode = ChildOutput::Null;
  std::string error;
  Subprocess strayProbe;
  ASSERT_TRUE(strayProbe.start({FfprobeProgram(settings), fifo}, quiet, error)) << error;
  Subprocess strayFfmpeg;
  ASSERT_TRUE(strayFfmpeg.start({FfmpegProgram(settings), "-i", fifo, "-f", "null", "-"}, quiet, error)) << error;

  DaemonApp app;
  ASSERT_TRUE(app.startEngine(settings));
  for (Subprocess* stray : {&strayProbe, &strayFfmpeg}) {
    std::optional<int> code;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!(code = stray->tryWait()) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(code, std::optional<int>(128 + 9)) << "a stray process of the folder was left running";
  }
  app.state().engine.shutdown();
}

TEST(StartupTest, ProbeAfterShutdownDoesNothing) {
  test::TempDir dir;
  DaemonApp app;
  ASSERT_TRUE(app.startEngine(SettingsIn(dir)));
  app.state().engine.shutdown();
  app.runStartupProbe();  // must not reach the freed engine
  EXPECT_EQ(app.state().engine.peek(), nullptr);
}

}  // namespace
}  // namespace qel
