// The daemon's life from the engine's start to its shutdown: starting the
// engine with the init configuration, the server, the one start-up probe, the
// wait for "quit", for the last connection to close or for SIGTERM, SIGINT or
// SIGHUP, and the ordered stop. `main` drives it with the settings from the flags; tests
// drive it in-process on a free port.
//
// Exit rules: the wait ends when a "quit" has been handled, when the last open
// WebSocket connection has closed (once one was opened; a connection opened
// right after that does not undo it), or when a termination signal arrives.
// Stopping ends the programs the handlers run, shuts the engine down (once,
// whoever comes first: tasks are ended and their unfinished outputs removed,
// and engine calls still running, the start-up probe among them, end with
// their programs), then stops the server. The engine goes first because the
// server's stop waits for its handlers, and a handler inside a probe would
// hold it as long as the probe runs. The wait sleeps until one of these
// events; nothing polls.
//
// The app owns the state every handler shares (daemon_state.h): settings,
// engine handle, task store. The engine's callbacks reach its store through
// the one process-wide pointer of engine_callbacks.h, so one app at a time
// may run an engine.
//
// Thread safety: one owner thread calls the methods; the counters and flags
// are atomics written by the server threads, which wake the owner through an
// event descriptor.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "QelDaemon/daemon_settings.h"
#include "QelDaemon/daemon_state.h"
#include "QelDaemon/ws_server.h"
#include "common/unique_fd.h"

namespace qel {

class DaemonApp {
 public:
  DaemonApp();
  // Stops the server and shuts a running engine down.
  ~DaemonApp();
  DaemonApp(const DaemonApp&) = delete;
  DaemonApp& operator=(const DaemonApp&) = delete;

  // Keeps the settings, claims the record of this run's thumbnails (drawing
  // another instance id when another run's record holds this one), ends stray
  // ffmpeg and ffprobe processes of the configured folder, starts the engine
  // and registers its callbacks. False when the engine refused the
  // configuration.
  bool startEngine(const DaemonSettings& settings);

  // Starts the server on `port` (0: any free port, for tests) with `options`
  // (tests shorten its bounds). On failure the engine is shut down before
  // returning false, with the reason in `error`.
  bool startServer(int port, std::string& error, WsServer::Options options = {});
  uint16_t port() const;

  // Asks the engine once for "gethwaccel" (which runs its hardware probe) and
  // discards the answer; does nothing when the engine is gone.
  void runStartupProbe();
  // The same on a thread of its own, so that the owner can go on to wait for
  // the end of the run (a quit or a signal) while the probe runs; shutdown
  // ends the probe and joins the thread.
  void startStartupProbe();

  enum class ExitReason { Quit, LastConnectionClosed, Signal };
  // Sleeps until quit, until the last connection has closed, or until
  // `signalFd` (a signalfd, or -1 for none) reports a signal, whose number is
  // then stored in `signalNumber`.
  ExitReason waitForExit(int signalFd = -1, int* signalNumber = nullptr);

  // Ends the handlers' programs, shuts the engine down if it is still
  // running, stops the server and joins the start-up probe's thread.
  void shutdown();

  int connectionCount() const { return connCount_.load(); }
  bool quitRequested() const { return quitFlag_.load() != 0; }
  // Reply bytes waiting to be sent on all connections (0 without a server).
  size_t queuedReplyBytes() const;

  // The shared state (tests and benchmarks look into it).
  DaemonState& state() { return state_; }

 private:
  // Wakes waitForExit (any thread, any number of times).
  void wake();
  void claimThumbnailRecord();

  // Declared before the server, so destroyed after it: no handler outlives it.
  DaemonState state_;
  std::unique_ptr<WsServer> server_;
  std::atomic<bool> probed_{false};
  std::thread probeThread_;
  std::atomic<int> connCount_{0};
  std::atomic<int> connSeen_{0};
  std::atomic<int> quitFlag_{0};
  std::atomic<bool> lastConnectionClosed_{false};
  UniqueFd wakeFd_;  // eventfd
};

// main's steps after the flags: engine, server, probe, wait, stop, with the
// console lines. SIGTERM, SIGINT and SIGHUP are taken over for the whole run
// (they end it as "quit" does), so it must be called before any other thread
// starts.
// Returns the process exit code (0, or -1 when the server could not start).
int RunDaemon(const DaemonSettings& settings);

}  // namespace qel
