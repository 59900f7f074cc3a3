// QelRecorder: runs one screen recording through libqelrecorder.so and prints
// its result as lines on standard output; the exit code is the recorder's
// result (8 bits here: -1 is seen as 255, E_FAIL as 5).
#include <csignal>
#include <string>
#include <vector>

#include "common/text_convert.h"
#include "recorder_host/host_main.h"
#include "recorder_host/stop_signals.h"

int main(int argc, char** argv) {
  // Before any thread exists, so that every thread has them blocked and only
  // the host's watcher receives them (stop_signals.h).
  qelhost::BlockStopSignals();
  // ffmpeg's pipe may close before the recorder's last write: a failed write,
  // never the end of the program.
  std::signal(SIGPIPE, SIG_IGN);
  std::vector<std::wstring> args;
  args.reserve(static_cast<size_t>(argc));
  for (int i = 0; i < argc; ++i) args.push_back(qel::utf8ToWide(argv[i]));
  return qelhost::RunHost(args);
}
