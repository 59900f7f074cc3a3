// The daemon's life from the engine's start to its shutdown: starting the
// engine with the init configuration, the server, the one start-up probe, the
// wait for "quit" or for the last connection to close, and the ordered stop.
// `main` drives it with the settings from the flags; tests drive it in-process
// on a free port.
//
// Exit rules: the wait ends when a "quit" has been handled, or when at least
// one WebSocket connection was opened and none is open any more. Stopping stops
// the server first and then shuts the engine down (once, whoever comes first).
//
// Thread safety: one owner thread calls the methods; the counters it reads are
// atomics written by the server thread.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "daemon_settings.h"

namespace qel {

class WsServer;

class DaemonApp {
 public:
  DaemonApp();
  ~DaemonApp();
  DaemonApp(const DaemonApp&) = delete;
  DaemonApp& operator=(const DaemonApp&) = delete;

  // Publishes the settings, ends stray ffmpeg processes of the configured
  // program, starts the engine and registers its callbacks. False when the
  // engine refused the configuration.
  bool startEngine(const DaemonSettings& settings);

  // Starts the server on `port` (0: any free port, for tests). On failure the
  // engine is shut down before returning false, with the reason in `error`.
  bool startServer(int port, std::string& error);
  uint16_t port() const;

  // Asks the engine once for "gethwaccel" (which runs its hardware probe) and
  // discards the answer; does nothing when the engine is gone.
  void runStartupProbe();

  // Polls every 100 ms until quit or the last connection has closed.
  void waitForExit();

  // Stops the server, then shuts the engine down if it is still running.
  void shutdown();

  int connectionCount() const { return connCount_.load(); }
  bool quitRequested() const { return quitFlag_.load() != 0; }

 private:
  std::unique_ptr<WsServer> server_;
  std::atomic<int> connCount_{0};
  std::atomic<int> connSeen_{0};
  std::atomic<int> quitFlag_{0};
};

// main's steps after the flags: engine, server, probe, wait, stop, with the
// console lines. Returns the process exit code (0, or -1 when the server could
// not start).
int RunDaemon(const DaemonSettings& settings);

}  // namespace qel
