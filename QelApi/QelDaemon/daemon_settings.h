// The daemon's settings: the values of its command-line flags turned into
// folders, the ffmpeg folder, the log level and the random instance id that names
// this run, plus the engine's init configuration written from them.
//
// Thread safety: the functions are reentrant. The handlers read the settings
// from the daemon's shared state (daemon_state.h).
#pragma once

#include <optional>
#include <string>

namespace qel {

struct DaemonSettings {
  int port = 8800;
  std::string logLevel;
  std::string logFolder;
  std::string tempFolder;
  std::string thumbnailFolder;
  std::string ffmpegFolder;  // holds ffmpeg and ffprobe; no trailing separator
  std::string instanceId;    // six characters [0-9A-Za-z]
};

// The raw values of the four flags (`p`, `port`, `logLevel`, `ffmpegPath`).
struct FlagValues {
  int p = 8800;
  int port = 8800;
  std::string logLevel = "notice";
  std::string ffmpegPath;
};

inline constexpr int kDefaultPort = 8800;
inline constexpr int kInstanceIdLength = 6;

// The folder named by the application-data variable, or "" when none is set.
// Windows matches environment names without regard to case; Linux does not, so
// "APPDATA" is read first, then "appdata", then any other spelling of the name
// (the first in the environment's order). An empty value counts as unset.
std::string AppdataFolder();

// The user's own data folder, Linux's counterpart of the application-data
// folder: $XDG_DATA_HOME when it is an absolute path, else ~/.local/share;
// "" when the user has no home folder.
std::string UserDataFolder();

// Creates `folder` and every missing parent, each new one with mode 0700 (only
// its user may enter it); folders that exist keep their mode. True when the
// folder exists afterwards.
bool CreatePrivateFolder(const std::string& folder);

// Fills the log, temp and thumbnail folders: "Korvex/Logs" and
// "Korvex/thumbnail" under AppdataFolder() when it is set, else under
// UserDataFolder() (on Linux the variable is normally unset, and the temporary
// folder is shared by every user), else under a private folder made for this
// run in the temporary folder; the temp folder is the system's temporary
// folder. Creates the log and thumbnail folders with CreatePrivateFolder; a
// failure to create is ignored (start-up goes on).
void InitPaths(DaemonSettings& settings);

// Folder of the running program: the parent of /proc/self/exe, which is where
// the build places the ffmpeg and ffprobe links. Falls back to the parent of
// `argv0` when /proc is unavailable. No trailing separator.
std::string GetExeDir(const char* argv0);

// Applies the flags to `settings` (port, ffmpeg folder, log level, instance id)
// and checks them. Returns the message to print when a value is refused (the
// process then ends with exit code -1), nullopt when all is well.
// `port` wins over `p` unless it was left at its default; ports below 1000 and
// above 65535 are refused; one trailing '/' or '\' of the ffmpeg folder goes.
std::optional<std::string> LoadSettings(const std::string& exeDir, const FlagValues& flags, DaemonSettings& settings);

// Six characters from [0-9A-Za-z] drawn from the kernel's random source
// (getrandom), without modulo bias.
std::string MakeInstanceId();

// `folder` + "/" + `name`, without doubling a separator the folder already ends in.
std::string JoinPath(const std::string& folder, const std::string& name);

// The engine's init configuration: compact JSON with the string members
// "log_level", "log_path", "tmp_path", "qel_id", "ffmpeg_pathname",
// "ffprobe_pathname", in this order.
std::string BuildInitConfigJson(const DaemonSettings& settings);

// Paths of the two programs inside the ffmpeg folder.
std::string FfmpegProgram(const DaemonSettings& settings);
std::string FfprobeProgram(const DaemonSettings& settings);

}  // namespace qel
