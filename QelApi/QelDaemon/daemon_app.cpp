#include "QelDaemon/daemon_app.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "QelDaemon/channel.h"
#include "QelDaemon/engine_callbacks.h"
#include "QelDaemon/replies.h"
#include "QelDaemon/request_dispatcher.h"
#include "QelDaemon/task_handlers.h"
#include "QelDaemon/ws_server.h"
#include "qelapi.h"

namespace qel {
DaemonApp::DaemonApp() : wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (!wakeFd_) DaemonLog('e', std::string("eventfd: ") + std::strerror(errno));
}

DaemonApp::~DaemonApp() {
  // An engine still running (a test or a caller that never called shutdown)
  // goes with its app; a second shutdown would only log again.
  state_.children.cancel();
  if (state_.engine.peek() != nullptr) state_.engine.shutdown();
  if (server_) server_->stop();
  if (probeThread_.joinable()) probeThread_.join();
  ReleaseTaskCallbacks(&state_.tasks);
}

void DaemonApp::wake() {
  if (!wakeFd_) return;
  const uint64_t one = 1;
  // Only fails when the counter would overflow, and then it is set anyway.
  [[maybe_unused]] ssize_t written = ::write(wakeFd_.get(), &one, sizeof one);
}

size_t DaemonApp::queuedReplyBytes() const { return server_ ? server_->queuedBytes() : 0; }

void DaemonApp::claimThumbnailRecord() {
  DaemonSettings& settings = state_.settings;
  CreatePrivateFolder(settings.thumbnailFolder);
  // Another run's record (live, or ended and not yet cleaned) owns the
  // thumbnail names of its id: this run draws another.
  constexpr int kTries = 16;
  for (int tries = 0; tries < kTries; ++tries) {
    switch (state_.thumbnails.claim(settings.thumbnailFolder, settings.instanceId)) {
      case ThumbnailLedger::Claim::Claimed: return;
      case ThumbnailLedger::Claim::IdTaken: settings.instanceId = MakeInstanceId(); break;
      case ThumbnailLedger::Claim::Failed:
        DaemonLog('w', "no thumbnail record in " + settings.thumbnailFolder + ": no thumbnails will be made");
        return;
    }
  }
}

bool DaemonApp::startEngine(const DaemonSettings& settings) {
  state_.settings = settings;
  claimThumbnailRecord();
  std::string config = BuildInitConfigJson(state_.settings);
  // ffmpeg and ffprobe children of an earlier run of this program folder are
  // ended before the engine starts its own.
  qelapi_close_process(FfmpegProgram(settings).c_str());
  qelapi_close_process(FfprobeProgram(settings).c_str());
  // The callbacks find this app's store from the engine's first report on.
  RouteTaskCallbacks(&state_.tasks);
  void* handle = qelapi_init(config.c_str());
  if (handle != nullptr) {
    qelapi_set_error_callback(handle, &OnTaskError);
    qelapi_set_progress_callback(handle, &OnTaskProgress);
    qelapi_set_complete_callback(handle, &OnTaskComplete);
  }
  state_.engine.install(handle);
  qelapi_log('n', "InitQelApi, ctx = %p", handle);
  return handle != nullptr;
}

bool DaemonApp::startServer(int port, std::string& error, WsServer::Options options) {
  WsServer::Callbacks callbacks;
  callbacks.onOpen = [this](const std::shared_ptr<Channel>&) {
    connCount_.fetch_add(1);
    connSeen_.store(1);
  };
  callbacks.onMessage = [this](const std::shared_ptr<Channel>& channel, const std::string& text) {
    HandleMessage(state_, channel, text, quitFlag_);
    if (quitFlag_.load() != 0) wake();
  };
  callbacks.onClose = [this](const std::shared_ptr<Channel>& channel) {
    // Every close follows an open, so the count reaching zero here means a
    // connection was seen and the last one has gone.
    const bool last = connCount_.fetch_sub(1) <= 1;
    state_.tasks.detach(channel.get());
    if (last) {
      lastConnectionClosed_.store(true);
      wake();
    }
  };
  callbacks.onTick = [this](const std::shared_ptr<Channel>& channel) { PushTaskEvents(state_, channel); };
  server_ = std::make_unique<WsServer>(std::move(callbacks), options);
  bool started = server_->start(port, error);
  qelapi_log('i', "QelDaemon start, ret=%d", started ? 0 : -1);
  if (!started) {
    server_.reset();
    // Nothing will serve this engine: shut it down rather than leave its
    // worker running into process exit.
    state_.engine.shutdown();
  }
  return started;
}

uint16_t DaemonApp::port() const { return server_ ? server_->port() : 0; }

void DaemonApp::runStartupProbe() {
  if (probed_.exchange(true)) return;
  char* reply = nullptr;
  {
    EngineLease engine(state_.engine);
    if (engine.get() == nullptr) return;
    qelapi_get_config(engine.get(), "{\"sid\":1,\"op\":\"gethwaccel\"}", &reply);
  }
  qelapi_free_str(nullptr, &reply);
}

void DaemonApp::startStartupProbe() {
  if (probeThread_.joinable()) return;
  try {
    probeThread_ = std::thread([this] { runStartupProbe(); });
  } catch (const std::system_error& e) {
    // Without a thread of its own the probe runs here, as it always could.
    DaemonLog('w', std::string("start-up probe thread: ") + e.what());
    runStartupProbe();
  }
}

DaemonApp::ExitReason DaemonApp::waitForExit(int signalFd, int* signalNumber) {
  for (;;) {
    // Quit first: a "quit" that closes the last connection is still a quit.
    if (quitFlag_.load() != 0) return ExitReason::Quit;
    if (lastConnectionClosed_.load()) {
      qelapi_log('i', "sConnCout=0, exiting");
      return ExitReason::LastConnectionClosed;
    }
    pollfd fds[2] = {{wakeFd_.get(), POLLIN, 0}, {signalFd, POLLIN, 0}};
    // Without an event descriptor (eventfd failed) the flags are looked at
    // every 100 ms instead.
    const int rc = ::poll(fds, signalFd >= 0 ? 2 : 1, wakeFd_ ? -1 : 100);
    if (rc < 0 && errno != EINTR) {
      DaemonLog('e', std::string("waiting for exit: ") + std::strerror(errno));
      return ExitReason::Quit;
    }
    if (signalFd >= 0 && (fds[1].revents & POLLIN) != 0) {
      signalfd_siginfo info{};
      if (::read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        if (signalNumber != nullptr) *signalNumber = static_cast<int>(info.ssi_signo);
        return ExitReason::Signal;
      }
    }
    if ((fds[0].revents & POLLIN) != 0) {
      uint64_t count = 0;
      [[maybe_unused]] ssize_t got = ::read(wakeFd_.get(), &count, sizeof count);
    }
  }
}

void DaemonApp::shutdown() {
  state_.children.cancel();
  state_.engine.shutdown();
  if (server_) server_->stop();
  if (probeThread_.joinable()) probeThread_.join();
  // The worker has been joined: no callback runs any more.
  ReleaseTaskCallbacks(&state_.tasks);
}

int RunDaemon(const DaemonSettings& settings) {
  // SIGTERM, SIGINT and SIGHUP (a closed terminal or session) end the run in
  // order, as "quit" does: the running task's unfinished output is removed.
  // They are blocked here, before the engine and the server start their
  // threads (which inherit the mask), and read from a signalfd by the wait
  // below. Children start with an empty mask (the process layer sees to it).
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  const UniqueFd signalFd(::signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK));
  if (signalFd.get() < 0) {
    // Without it the signals keep their default action (the process ends at
    // once); the children still end with it.
    DaemonLog('w', std::string("signalfd: ") + std::strerror(errno));
    pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);
  }

  DaemonApp app;
  if (!app.startEngine(settings)) {
    std::fputs("InitQelSDK failed\n", stderr);
    return 0;
  }
  std::string error;
  if (!app.startServer(settings.port, error)) {
    std::fputs("QelDaemon occurs some errors\n", stderr);
    std::fprintf(stderr, "%s\n", error.c_str());
    DaemonLog('e', "server start failed: " + error);
    return -1;
  }
  std::fputs("QelDaemon is running\n", stderr);
  // The probe takes seconds; the wait below must see a quit or a signal
  // meanwhile.
  app.startStartupProbe();
  int signalNumber = 0;
  if (app.waitForExit(signalFd.get(), &signalNumber) == DaemonApp::ExitReason::Signal) {
    const char* name = sigabbrev_np(signalNumber);
    qelapi_log('n', "SIG%s (%d) received, shutting down", name != nullptr ? name : "?", signalNumber);
  }
  app.shutdown();
  return 0;
}

}  // namespace qel
