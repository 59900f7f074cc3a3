// Start-up order and its failures, in-process.
#include <gtest/gtest.h>

#include <filesystem>

#include <boost/asio/ip/tcp.hpp>

#include "QelDaemon/daemon_app.h"
#include "QelDaemon/engine_handle.h"
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
  EXPECT_NE(PeekEngine(), nullptr);
  std::string error;
  EXPECT_FALSE(app.startServer(taken.local_endpoint().port(), error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(PeekEngine(), nullptr);
  // A second shutdown finds nothing to do.
  EXPECT_EQ(ShutdownEngine(), nullptr);
}

TEST(StartupTest, EngineRefusingTheConfigurationLeavesNoHandle) {
  test::TempDir dir;
  DaemonSettings settings = SettingsIn(dir);
  settings.ffmpegFolder = dir.file("no-ffmpeg-here");
  DaemonApp app;
  EXPECT_FALSE(app.startEngine(settings));
  EXPECT_EQ(PeekEngine(), nullptr);
}

TEST(StartupTest, ProbeAfterShutdownDoesNothing) {
  test::TempDir dir;
  DaemonApp app;
  ASSERT_TRUE(app.startEngine(SettingsIn(dir)));
  ShutdownEngine();
  app.runStartupProbe();  // must not reach the freed engine
  EXPECT_EQ(PeekEngine(), nullptr);
}

}  // namespace
}  // namespace qel
