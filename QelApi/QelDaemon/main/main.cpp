// QelDaemon: the WebSocket service in front of the media-task library. Parses
// the flags, works out the folders and settings, then hands over to RunDaemon.
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <gflags/gflags.h>

#include "QelDaemon/daemon_app.h"
#include "QelDaemon/daemon_settings.h"

DEFINE_int32(p, 8800, "Listen port of ws server");
DEFINE_int32(port, 8800, "Listen port of ws server");
DEFINE_string(logLevel, "notice", "Set log level, defalt is notice");
DEFINE_string(ffmpegPath, "", "Path of ffmpeg");

int main(int argc, char** argv) {
  // A client that vanishes mid-write must not end the daemon.
  std::signal(SIGPIPE, SIG_IGN);
  std::fprintf(stderr, "%s\n", argc > 0 && argv[0] != nullptr ? argv[0] : "");
  const char* argv0 = argc > 0 ? argv[0] : nullptr;
  google::ParseCommandLineNonHelpFlags(&argc, &argv, true);

  qel::DaemonSettings settings;
  qel::InitPaths(settings);
  std::string exeDir = qel::GetExeDir(argv0);
  qel::FlagValues flags;
  flags.p = FLAGS_p;
  flags.port = FLAGS_port;
  flags.logLevel = FLAGS_logLevel;
  flags.ffmpegPath = FLAGS_ffmpegPath;
  if (auto refusal = qel::LoadSettings(exeDir, flags, settings)) {
    std::fprintf(stderr, "%s\n", refusal->c_str());
    std::exit(-1);
  }
  return qel::RunDaemon(settings);
}
