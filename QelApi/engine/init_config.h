// The engine's init configuration: the record read from qelapi_init's JSON text,
// the check of its required values, and the set-up of the rolling log file.
//
// parseInitConfig and the label printing are reentrant. setupFileLog and
// applyLogLevel act on log4cpp's process-wide root category and may be called
// from any thread.
#pragma once

#include <cstdio>
#include <string>

namespace qel {

// Paths are texts in the active code page (UTF-8 here).
struct InitConfig {
  std::string log_level;
  std::string log_path;
  std::string tmp_path;
  std::string qel_id;
  std::string ffmpeg_pathname;
  std::string ffprobe_pathname;
  // Empty after reading; written by the "sethwaccel" configuration command.
  std::string hwaccel_vendor;
};

// Reads the JSON text. A null text, a text that does not parse or a root that is
// not an object gives an all-empty record; a missing key or a member that is not
// a string leaves its field empty.
InitConfig parseInitConfig(const char* text);

// True when tmp_path, qel_id, ffmpeg_pathname and ffprobe_pathname are all set.
bool hasRequiredValues(const InitConfig& config);

// Writes the five lines "qelId:", "logPath:", "tmpPath:", "ffmpegPathName:",
// "ffprobePathName:", each followed by the field's value, to `out`.
void printInitLabels(const InitConfig& config, std::FILE* out);

// Root priority for a "log_level" value: "debug" 700, "info" 600, "warn" 400,
// anything else 500 (exact comparison).
int priorityFromLogLevel(const std::string& level);

// Attaches the rolling appender "FileAppender" (2 MiB, one backup,
// "%d:%p %c%x: %m%n") on `path` to the root category and sets the root priority
// to notice, unless an appender of that name is attached already.
void setupFileLog(const std::string& path);

// True when the root category has an appender named "FileAppender".
bool hasFileLog();

// Sets the root category's priority.
void setRootPriority(int priority);
int rootPriority();

// The log steps of qelapi_init: when a file or folder exists at log_path, attach
// "<log_path>/QelApi.log", set the priority from log_level and log the
// "Process ID: " line. Nothing otherwise.
void setupEngineLog(const InitConfig& config);

}  // namespace qel
