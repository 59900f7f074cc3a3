// Start-up order and its failures, in-process.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <thread>

#include <boost/asio/ip/tcp.hpp>

#include "QelDaemon/daemon_app.h"
#include "common/subprocess.h"
#include "support/stray_process.h"
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

// ffmpeg and ffprobe left running from the same program folder by an earlier
// run (strays: their parent has gone) are ended before the engine starts.
// The same programs run by live programs (here this test) are their work, and
// stay.
TEST(StartupTest, StrayFfmpegAndFfprobeOfTheFolderAreEnded) {
  test::TempDir dir;
  DaemonSettings settings = SettingsIn(dir);
  // They all wait for ever to open a FIFO that nobody writes.
  const std::string fifo = dir.file("stuck.mp4");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  test::StrayProcess strayProbe({FfprobeProgram(settings), fifo});
  test::StrayProcess strayFfmpeg({FfmpegProgram(settings), "-i", fifo, "-f", "null", "-"});
  ASSERT_NE(strayProbe.pid(), 0);
  ASSERT_NE(strayFfmpeg.pid(), 0);
  SpawnOptions quiet;
  quiet.stdoutMode = ChildOutput::Null;
  quiet.stderrMode = ChildOutput::Null;
  std::string error;
  Subprocess liveProbe;
  ASSERT_TRUE(liveProbe.start({FfprobeProgram(settings), fifo}, quiet, error)) << error;
  Subprocess liveFfmpeg;
  ASSERT_TRUE(liveFfmpeg.start({FfmpegProgram(settings), "-i", fifo, "-f", "null", "-"}, quiet, error)) << error;

  DaemonApp app;
  ASSERT_TRUE(app.startEngine(settings));
  for (test::StrayProcess* stray : {&strayProbe, &strayFfmpeg}) {
    EXPECT_EQ(stray->waitFor(std::chrono::seconds(10)), std::optional<int>(128 + 9))
        << "a stray process of the folder was left running";
  }
  EXPECT_FALSE(liveProbe.tryWait().has_value()) << "a live ffprobe of the folder was ended";
  EXPECT_FALSE(liveFfmpeg.tryWait().has_value()) << "a live ffmpeg of the folder was ended";
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
