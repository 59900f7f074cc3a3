#include "daemon_app.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "channel.h"
#include "engine_handle.h"
#include "qelapi.h"
#include "replies.h"
#include "request_dispatcher.h"
#include "task_store.h"
#include "ws_server.h"

namespace qel {

DaemonApp::DaemonApp() = default;

DaemonApp::~DaemonApp() {
  if (server_) server_->stop();
}

bool DaemonApp::startEngine(const DaemonSettings& settings) {
  PublishSettings(settings);
  std::string config = BuildInitConfigJson(settings);
  // ffmpeg children of an earlier run of this program folder are ended before
  // the engine starts its own.
  qelapi_close_process(FfmpegProgram(settings).c_str());
  void* handle = qelapi_init(config.c_str());
  if (handle != nullptr) {
    qelapi_set_error_callback(handle, &OnTaskError);
    qelapi_set_progress_callback(handle, &OnTaskProgress);
    qelapi_set_complete_callback(handle, &OnTaskComplete);
  }
  InstallEngine(handle);
  qelapi_log('n', "InitQelApi, ctx = %p", handle);
  return handle != nullptr;
}

bool DaemonApp::startServer(int port, std::string& error) {
  WsServer::Callbacks callbacks;
  callbacks.onOpen = [this](const std::shared_ptr<Channel>&) {
    connCount_.fetch_add(1);
    connSeen_.store(1);
  };
  callbacks.onMessage = [this](const std::shared_ptr<Channel>& channel, const std::string& text) {
    HandleMessage(channel, text, quitFlag_);
  };
  callbacks.onClose = [this](const std::shared_ptr<Channel>& channel) {
    connCount_.fetch_sub(1);
    DetachChannel(channel.get());
  };
  callbacks.onTick = [](const std::shared_ptr<Channel>& channel) { PushTaskEvents(channel); };
  server_ = std::make_unique<WsServer>(std::move(callbacks), WsServer::Options{});
  bool started = server_->start(port, error);
  qelapi_log('i', "QelDaemon start, ret=%d", started ? 0 : -1);
  if (!started) {
    server_.reset();
    // Nothing will serve this engine: shut it down rather than leave its
    // worker running into process exit.
    ShutdownEngine();
  }
  return started;
}

uint16_t DaemonApp::port() const { return server_ ? server_->port() : 0; }

void DaemonApp::runStartupProbe() {
  static std::atomic<bool> probed{false};
  if (probed.exchange(true)) return;
  char* reply = nullptr;
  {
    EngineLease engine;
    if (engine.get() == nullptr) return;
    qelapi_get_config(engine.get(), "{\"sid\":1,\"op\":\"gethwaccel\"}", &reply);
  }
  qelapi_free_str(nullptr, &reply);
}

void DaemonApp::waitForExit() {
  while (quitFlag_.load() == 0) {
    if (connSeen_.load() == 1 && connCount_.load() <= 0) {
      qelapi_log('i', "sConnCout=0, exiting");
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

void DaemonApp::shutdown() {
  if (server_) server_->stop();
  ShutdownEngine();
}

int RunDaemon(const DaemonSettings& settings) {
  DaemonApp app;
  if (!app.startEngine(settings)) {
    std::fputs("InitQelSDK failed\n", stderr);
    return 0;
  }
  std::string error;
  if (!app.startServer(settings.port, error)) {
    std::fputs("QelDaemon occurs some errors\n", stderr);
    DaemonLog('e', "server start failed: " + error);
    return -1;
  }
  std::fputs("QelDaemon is running\n", stderr);
  app.runStartupProbe();
  app.waitForExit();
  app.shutdown();
  return 0;
}

}  // namespace qel
