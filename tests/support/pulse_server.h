// A private PulseAudio server for one test (shared by the recorder and host
// suites): a null sink "qeltest", the native
// protocol on a socket in a temporary XDG_RUNTIME_DIR (with a temporary HOME),
// and PULSE_SERVER pointing at it so that clients of this process and the
// programs it starts (paplay) find it. Stopped (killed and reaped) with the
// object.
#pragma once

#include <memory>
#include <string>

#include "common/subprocess.h"
#include "support/test_support.h"

namespace qelrec::test {

class PulseServer {
 public:
  PulseServer() = default;
  ~PulseServer();
  PulseServer(const PulseServer&) = delete;
  PulseServer& operator=(const PulseServer&) = delete;

  // False (with the reason in error()) when the server cannot be started.
  bool Start();
  void Stop();
  // Kills the server as a crash would (and reaps it), leaving the
  // environment alone: for a test thread while the program under test runs.
  void Kill();
  const std::string& error() const { return error_; }
  // The server's process (a test may stop and continue it); -1 when not running.
  pid_t pid() const { return server_.pid(); }

 private:
  qel::test::TempDir dir_;
  qel::Subprocess server_;
  std::string error_;
  std::string savedPulseServer_;
  bool hadPulseServer_ = false;
};

// Plays `wavPath` into the sink "qeltest" (paplay), owned by the returned
// process; null when paplay cannot be started. With `latencyMs` 0 the player
// asks for no latency, as most players do, and the server then renders ahead
// in blocks of up to 2 s.
std::unique_ptr<qel::Subprocess> PlayIntoTestSink(const std::string& wavPath, int latencyMs = 20);

// The dominant frequency of a FLAC (or any audio) file, from the zero
// crossings of its first channel between `fromSeconds` and `toSeconds`.
double DominantFrequency(const std::string& path, double fromSeconds, double toSeconds);

}  // namespace qelrec::test
