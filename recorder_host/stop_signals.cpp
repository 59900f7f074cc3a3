#include "recorder_host/stop_signals.h"

#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <system_error>
#include <thread>

namespace qelhost {

namespace {

sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

}  // namespace

void BlockStopSignals() {
  const sigset_t set = StopSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool WatchStopSignals(platform::ui::HWND window) {
  try {
    // Detached: it waits in sigwait for the whole run and touches nothing
    // that the program's end destroys.
    std::thread([window] {
      const sigset_t set = StopSignals();
      while (true) {
        int signal = 0;
        if (sigwait(&set, &signal) != 0) continue;
        std::fprintf(stderr, "QelRecorder: %s received, stopping.\n", strsignal(signal));
        platform::ui::PostMessage(window, kWmStopRequest, static_cast<platform::ui::WPARAM>(signal), 0);
      }
    }).detach();
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

}  // namespace qelhost
