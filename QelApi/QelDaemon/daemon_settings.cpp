#include "QelDaemon/daemon_settings.h"

#include <pwd.h>
#include <stdlib.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string_view>
#include <system_error>
#include <vector>

#include "common/ascii_case.h"
#include "common/json_write.h"

namespace qel {
namespace fs = std::filesystem;

namespace {

std::string ParentPath(const fs::path& path) { return path.parent_path().string(); }

// The user's home folder: $HOME when it is an absolute path, else the password
// database's entry for the real user; "" when neither names one.
std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return home;
  struct passwd entry {};
  struct passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr && found->pw_dir[0] == '/') {
    return found->pw_dir;
  }
  return {};
}

// A fresh folder of this run's own inside `parent` (mkdtemp: mode 0700, a name
// nobody else holds); "" when it cannot be made.
std::string MakeRunFolder(const std::string& parent) {
  std::string pattern = JoinPath(parent, "qel-XXXXXX");
  return ::mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
}

// Fills `out` with random bytes from the kernel; std::random_device is the
// fallback when getrandom is unavailable (it reads the same source).
void RandomBytes(unsigned char* out, size_t size) {
  size_t filled = 0;
  while (filled < size) {
    ssize_t n = ::getrandom(out + filled, size - filled, 0);
    if (n > 0) {
      filled += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      std::random_device device;
      for (; filled < size; ++filled) out[filled] = static_cast<unsigned char>(device() & 0xFF);
    }
  }
}

}  // namespace

std::string AppdataFolder() {
  for (const char* name : {"APPDATA", "appdata"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && value[0] != '\0') return value;
  }
  // Any other spelling ("AppData", ...), as a case-blind environment finds it.
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    std::string_view text(*entry);
    size_t equals = text.find('=');
    if (equals == std::string_view::npos || equals + 1 == text.size()) continue;
    if (asciiIEquals(text.substr(0, equals), "appdata")) return std::string(text.substr(equals + 1));
  }
  return {};
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  char last = folder.back();
  if (last == '/' || last == '\\') return folder + name;
  return folder + "/" + name;
}

std::string UserDataFolder() {
  const char* dataHome = std::getenv("XDG_DATA_HOME");
  // A relative value is invalid and is ignored, as every XDG reader does.
  if (dataHome != nullptr && dataHome[0] == '/') return dataHome;
  std::string home = HomeFolder();
  return home.empty() ? std::string() : JoinPath(home, ".local/share");
}

bool CreatePrivateFolder(const std::string& folder) {
  if (folder.empty()) return false;
  std::error_code ec;
  if (fs::is_directory(folder, ec)) return true;
  // One level at a time, each missing one with mode 0700 (create_directories
  // would leave them open to everyone the umask lets in).
  fs::path partial;
  for (const fs::path& element : fs::path(folder)) {
    partial /= element;
    if (fs::is_directory(partial, ec)) continue;
    if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  return fs::is_directory(folder, ec);
}

void InitPaths(DaemonSettings& settings) {
  std::error_code ec;
  std::string temp = fs::temp_directory_path(ec).string();
  if (ec || temp.empty()) temp = "/tmp";
  settings.tempFolder = temp;
  std::string base = AppdataFolder();
  if (base.empty()) base = UserDataFolder();
  // No home at all (a system account without one): a folder of this run's own
  // rather than the shared temporary folder itself.
  if (base.empty()) base = MakeRunFolder(temp);
  settings.logFolder = JoinPath(base, "Korvex/Logs");
  settings.thumbnailFolder = JoinPath(base, "Korvex/thumbnail");
  CreatePrivateFolder(settings.logFolder);
  CreatePrivateFolder(settings.thumbnailFolder);
}

std::string GetExeDir(const char* argv0) {
  std::error_code ec;
  fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (!ec && !self.empty()) return ParentPath(self);
  if (argv0 != nullptr && argv0[0] != '\0') {
    fs::path given(argv0);
    if (fs::exists(given, ec)) return ParentPath(fs::absolute(given, ec));
  }
  return {};
}

std::string MakeInstanceId() {
  static constexpr char kAlphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  constexpr unsigned kCount = sizeof(kAlphabet) - 1;  // 62
  // Bytes at or above the largest multiple of 62 are redrawn, so every
  // character is equally likely.
  constexpr unsigned kLimit = 256 - (256 % kCount);
  std::string id;
  while (id.size() < static_cast<size_t>(kInstanceIdLength)) {
    std::array<unsigned char, 16> bytes{};
    RandomBytes(bytes.data(), bytes.size());
    for (unsigned char b : bytes) {
      if (b >= kLimit) continue;
      id.push_back(kAlphabet[b % kCount]);
      if (id.size() == static_cast<size_t>(kInstanceIdLength)) break;
    }
  }
  return id;
}

std::optional<std::string> LoadSettings(const std::string& exeDir, const FlagValues& flags, DaemonSettings& settings) {
  settings.port = flags.port;
  if (flags.port == kDefaultPort && flags.p != kDefaultPort) settings.port = flags.p;

  settings.ffmpegFolder = flags.ffmpegPath.empty() ? exeDir : flags.ffmpegPath;
  if (!settings.ffmpegFolder.empty()) {
    char last = settings.ffmpegFolder.back();
    // Only one separator goes.
    if (last == '/' || last == '\\') settings.ffmpegFolder.pop_back();
  }
  settings.logLevel = flags.logLevel.empty() ? std::string("notice") : flags.logLevel;
  settings.instanceId = MakeInstanceId();

  if (settings.port < 1000) return std::string("The port number must be greater than 1000");
  // A port that does not fit 16 bits would otherwise be cut to another port.
  if (settings.port > 65535) return std::string("The port number must be less than 65536");
  if (settings.ffmpegFolder.empty()) return std::string("The ffmpeg's path is empty");
  return std::nullopt;
}

std::string FfmpegProgram(const DaemonSettings& settings) { return JoinPath(settings.ffmpegFolder, "ffmpeg"); }
std::string FfprobeProgram(const DaemonSettings& settings) { return JoinPath(settings.ffmpegFolder, "ffprobe"); }

std::string BuildInitConfigJson(const DaemonSettings& settings) {
  rapidjson::StringBuffer buffer;
  JsonWriter writer(buffer);
  auto member = [&writer](const char* key, const std::string& value) {
    writer.Key(key);
    writeJsonString(writer, value);
  };
  writer.StartObject();
  member("log_level", settings.logLevel);
  member("log_path", settings.logFolder);
  member("tmp_path", settings.tempFolder);
  member("qel_id", settings.instanceId);
  member("ffmpeg_pathname", FfmpegProgram(settings));
  member("ffprobe_pathname", FfprobeProgram(settings));
  writer.EndObject();
  return jsonText(buffer);
}

}  // namespace qel
