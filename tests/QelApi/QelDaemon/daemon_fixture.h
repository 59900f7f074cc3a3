// An in-process daemon for end-to-end tests: the real engine (static objects)
// and the real server on a free loopback port, with its own folders under a
// temporary folder and its own ffmpeg folder (links to the build's ffmpeg and
// ffprobe), so that ending stray ffmpeg processes at start-up touches nothing
// that other tests run at the same time.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <optional>
#include <string>
#include <thread>

#include "QelDaemon/daemon_app.h"
#include "QelDaemon/daemon_settings.h"
#include "QelApi/QelDaemon/test_client.h"
#include "support/test_support.h"

namespace qel::test {

class DaemonFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    namespace fs = std::filesystem;
    std::string ffmpegFolder = dir_.file("ffmpeg-bin");
    fs::create_directories(ffmpegFolder);
    fs::create_symlink(ffmpegPath(), ffmpegFolder + "/ffmpeg");
    fs::create_symlink(ffprobeTarget(), ffmpegFolder + "/ffprobe");
    settings_.logLevel = "debug";
    settings_.logFolder = dir_.file("Logs");
    settings_.tempFolder = dir_.path();
    settings_.thumbnailFolder = dir_.file("thumbnail");
    settings_.ffmpegFolder = ffmpegFolder;
    settings_.instanceId = MakeInstanceId();
    fs::create_directories(settings_.logFolder);
    fs::create_directories(settings_.thumbnailFolder);

    ASSERT_TRUE(app_.startEngine(settings_));
    std::string error;
    ASSERT_TRUE(app_.startServer(0, error, serverOptions())) << error;
    port_ = app_.port();
    exited_ = exitedPromise_.get_future();
    waiter_ = std::thread([this] {
      app_.waitForExit();
      app_.shutdown();
      exitedPromise_.set_value();
    });
  }

  void TearDown() override {
    if (!waiter_.joinable()) return;
    if (!hasExited(std::chrono::milliseconds(0))) {
      // The exit rule ends the daemon once a connection has come and gone.
      TestClient client;
      std::string error;
      if (client.connect(port_, error)) client.close();
    }
    waiter_.join();
  }

  // What the daemon's ffmpeg folder links as "ffprobe" (a stand-in for tests
  // that need a probe to behave in some way).
  virtual std::string ffprobeTarget() { return ffprobePath(); }
  // The server's options (tests shorten its bounds).
  virtual WsServer::Options serverOptions() { return {}; }

  // True once the daemon has stopped its server and shut the engine down.
  bool hasExited(std::chrono::milliseconds timeout) { return exited_.wait_for(timeout) == std::future_status::ready; }

  // A connected client; the test fails when it cannot connect.
  void connect(TestClient& client) {
    std::string error;
    ASSERT_TRUE(client.connect(port_, error)) << error;
    // The daemon counts a connection only after its handshake reply, which the
    // client may see first; a reply shows it has been counted, so a test that
    // closes another connection next cannot end the daemon by accident.
    ASSERT_EQ(client.request("{\"sid\":0,\"op\":\"ping\"}").value_or(""), "{\"sid\":0,\"pong\":\"ok\"}");
  }

  TempDir dir_;
  DaemonSettings settings_;
  DaemonApp app_;
  uint16_t port_ = 0;

 private:
  std::promise<void> exitedPromise_;
  std::future<void> exited_;
  std::thread waiter_;
};

}  // namespace qel::test
