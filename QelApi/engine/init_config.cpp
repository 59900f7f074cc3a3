// Reading the init configuration and setting up the engine's rolling log file.
#include "engine/init_config.h"

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <mutex>

#include <fmt/format.h>
#include <log4cpp/Category.hh>
#include <log4cpp/PatternLayout.hh>
#include <log4cpp/RollingFileAppender.hh>
#include <rapidjson/document.h>

#include "base/log.h"

namespace qel {
namespace {

constexpr const char* kAppenderName = "FileAppender";
constexpr size_t kMaxLogSize = 2 * 1024 * 1024;
constexpr unsigned kLogBackups = 1;

// log4cpp opens its file without O_CLOEXEC; every ffmpeg and ffprobe the engine
// starts would inherit the log descriptor (and keep a rolled-away file open).
// This appender marks the descriptor close-on-exec after every (re)open.
class CloexecRollingFileAppender : public log4cpp::RollingFileAppender {
 public:
  CloexecRollingFileAppender(const std::string& name, const std::string& path)
      : log4cpp::RollingFileAppender(name, path, kMaxLogSize, kLogBackups, true, 0644) {
    markCloexec();
  }

  void rollOver() override {
    log4cpp::RollingFileAppender::rollOver();
    markCloexec();
  }

  bool reopen() override {
    bool ok = log4cpp::RollingFileAppender::reopen();
    markCloexec();
    return ok;
  }

 private:
  void markCloexec() {
    if (_fd >= 0) ::fcntl(_fd, F_SETFD, FD_CLOEXEC);
  }
};

std::mutex& setupMutex() {
  static std::mutex mutex;
  return mutex;
}

void readString(const rapidjson::Value& root, const char* key, std::string& field) {
  auto it = root.FindMember(key);
  if (it != root.MemberEnd() && it->value.IsString()) {
    field.assign(it->value.GetString(), it->value.GetStringLength());
  }
}

bool pathExists(const std::string& path) {
  std::error_code ec;
  return !path.empty() && std::filesystem::exists(path, ec);
}

}  // namespace

InitConfig parseInitConfig(const char* text) {
  InitConfig config;
  if (text == nullptr) return config;
  rapidjson::Document doc;
  doc.Parse<rapidjson::kParseIterativeFlag>(text);
  if (doc.HasParseError() || !doc.IsObject()) return config;
  readString(doc, "log_level", config.log_level);
  readString(doc, "log_path", config.log_path);
  readString(doc, "tmp_path", config.tmp_path);
  readString(doc, "qel_id", config.qel_id);
  readString(doc, "ffmpeg_pathname", config.ffmpeg_pathname);
  readString(doc, "ffprobe_pathname", config.ffprobe_pathname);
  return config;
}

bool hasRequiredValues(const InitConfig& config) {
  return !config.tmp_path.empty() && !config.qel_id.empty() && !config.ffmpeg_pathname.empty() &&
         !config.ffprobe_pathname.empty();
}

void printInitLabels(const InitConfig& config, std::FILE* out) {
  std::fprintf(out, "qelId:%s\n", config.qel_id.c_str());
  std::fprintf(out, "logPath:%s\n", config.log_path.c_str());
  std::fprintf(out, "tmpPath:%s\n", config.tmp_path.c_str());
  std::fprintf(out, "ffmpegPathName:%s\n", config.ffmpeg_pathname.c_str());
  std::fprintf(out, "ffprobePathName:%s\n", config.ffprobe_pathname.c_str());
  std::fflush(out);
}

int priorityFromLogLevel(const std::string& level) {
  if (level == "debug") return kLogDebug;
  if (level == "info") return kLogInfo;
  if (level == "warn") return kLogWarn;
  return kLogNotice;
}

void setupFileLog(const std::string& path) {
  getLogGuard();
  // Two engines initialised at once must not both attach an appender.
  std::lock_guard<std::mutex> lock(setupMutex());
  log4cpp::Category& root = log4cpp::Category::getRoot();
  if (root.getAppender(kAppenderName) != nullptr) return;
  auto layout = std::make_unique<log4cpp::PatternLayout>();
  layout->setConversionPattern("%d:%p %c%x: %m%n");
  auto appender = std::make_unique<CloexecRollingFileAppender>(kAppenderName, path);
  appender->setLayout(layout.release());  // the appender owns its layout
  root.addAppender(appender.release());   // the category owns the appender
  root.setPriority(kLogNotice);
}

bool hasFileLog() {
  getLogGuard();
  return log4cpp::Category::getRoot().getAppender(kAppenderName) != nullptr;
}

void setRootPriority(int priority) {
  getLogGuard();
  log4cpp::Category::getRoot().setPriority(priority);
}

int rootPriority() {
  getLogGuard();
  return log4cpp::Category::getRoot().getPriority();
}

void setupEngineLog(const InitConfig& config) {
  if (!pathExists(config.log_path)) return;
  std::filesystem::path file = std::filesystem::path(config.log_path) / "QelApi.log";
  setupFileLog(file.string());
  setRootPriority(priorityFromLogLevel(config.log_level));
  if (logEnabled(kLogNotice)) {
    logText(kLogNotice, fmt::format("Process ID: {}", static_cast<long>(::getpid())));
  }
}

}  // namespace qel
