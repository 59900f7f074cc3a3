#include "engine/config_commands.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <concepts>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <rapidjson/document.h>

#include "commands/lavfi_parser.h"
#include "commands/probe_document.h"
#include "common/ascii_case.h"
#include "common/json_write.h"
#include "common/subprocess.h"
#include "engine/engine_context.h"
#include "engine/hardware_support.h"
#include "engine/init_config.h"
#include "base/log.h"
#include "qelapi.h"

namespace qel {
namespace {

// Parses `text` into `doc`; false for a null text, a parse error or a root that
// is not an object (a non-object root counts as unparsable).
bool parseObject(const char* text, rapidjson::Document& doc) {
  if (text == nullptr) return false;
  doc.Parse<rapidjson::kParseIterativeFlag>(text);
  return !doc.HasParseError() && doc.IsObject();
}

// A string member's text, or nullptr when it is missing or of another type.
const rapidjson::Value* stringMember(const rapidjson::Value& object, const char* name) {
  if (!object.IsObject()) return nullptr;
  auto it = object.FindMember(name);
  if (it == object.MemberEnd() || !it->value.IsString()) return nullptr;
  return &it->value;
}

std::string textOf(const rapidjson::Value& value) { return std::string(value.GetString(), value.GetStringLength()); }

// "sid" as a signed 64-bit number; 0 when absent, of another type, or out of range.
std::int64_t readSid(const rapidjson::Document& doc) {
  if (!doc.IsObject()) return 0;
  auto it = doc.FindMember("sid");
  if (it == doc.MemberEnd() || !it->value.IsInt64()) return 0;
  return it->value.GetInt64();
}

// {"sid":0,"error":true,"errorCode":6510,"errorDetail":"Invalid parameter"}
std::string configErrorReply() {
  rapidjson::StringBuffer buffer;
  JsonWriter writer(buffer);
  writer.StartObject();
  writer.Key("sid");
  writer.Int64(0);
  writeErrorMembers(writer, true, QEL_ERR_INVALID_PARAMS, "Invalid parameter");
  writer.EndObject();
  return jsonText(buffer);
}

std::string hwAccelReply(std::int64_t sid, const HardwareSupport& support) {
  const std::array<std::pair<const char*, std::uint8_t>, 4> rows{{
      {"Nvidia", support.nvidia},
      {"Amd", support.amd},
      {"Intel", support.intel},
      {"Apple", support.apple},
  }};
  rapidjson::StringBuffer buffer;
  JsonWriter writer(buffer);
  writer.StartObject();
  writer.Key("sid");
  writer.Int64(sid);
  writer.Key("hwaccel");
  writer.StartArray();
  for (const auto& [name, flag] : rows) {
    writer.StartObject();
    writer.Key("name");
    writer.String(name);
    writer.Key("support");
    writer.Int(flag != 0 ? 1 : 0);
    writer.EndObject();
  }
  writer.EndArray();
  writer.EndObject();
  return jsonText(buffer);
}

std::string logLevelReply(std::int64_t sid, int priority) {
  const char* level = "error";
  if (priority == kLogInfo) level = "info";
  if (priority == kLogDebug) level = "debug";
  rapidjson::StringBuffer buffer;
  JsonWriter writer(buffer);
  writer.StartObject();
  writer.Key("sid");
  writer.Int64(sid);
  writer.Key("logLevel");
  writer.String(level);
  writer.EndObject();
  return jsonText(buffer);
}

std::string processReply(std::int64_t sid, const LavfiParseResult& result) {
  const bool ok = !result.graph.empty();
  rapidjson::StringBuffer buffer;
  JsonWriter writer(buffer);
  writer.StartObject();
  writer.Key("sid");
  writer.Int64(sid);
  writeErrorMembers(writer, !ok, ok ? 0 : QEL_ERR_PROCESS_LAVFI, ok ? "" : "process failed");
  writer.Key("operation");
  writer.StartObject();
  writer.Key("output");
  writer.String(ok ? result.graph.data() : "", static_cast<rapidjson::SizeType>(ok ? result.graph.size() : 0));
  writer.Key("fileNums");
  writer.Int(ok ? result.fileNums : 0);
  writer.EndObject();
  writer.EndObject();
  return jsonText(buffer);
}

// "sethwaccel": the fixed vendor order decides, not the order of the array.
int setHardwareVendor(EngineContext& engine, const rapidjson::Document& doc) {
  auto it = doc.FindMember("hwaccel");
  if (it == doc.MemberEnd() || !it->value.IsArray()) return QEL_ERR_INVALID_PARAMS;
  const rapidjson::Value& items = it->value;

  std::string chosen;
  for (const char* vendor : {"nvidia", "amd", "intel", "apple"}) {
    for (const rapidjson::Value& item : items.GetArray()) {
      const rapidjson::Value* name = stringMember(item, "name");
      if (name == nullptr) continue;
      auto enable = item.FindMember("enable");
      // Only the integer 1 enables; true, "1" or 1.0 do not.
      if (enable == item.MemberEnd() || !enable->value.IsInt64() || enable->value.GetInt64() != 1) continue;
      if (asciiLowerCopy(textOf(*name)) == vendor) {
        chosen = vendor;
        break;
      }
    }
    if (!chosen.empty()) break;
  }
  engine.setHardwareVendor(chosen);
  return 0;
}

// "setloglevel": "error" maps to notice (500), the same level qelapi_init gives
// for it, so error lines and the notice lines around them keep being written.
int setLogLevel(const rapidjson::Document& doc) {
  const rapidjson::Value* level = stringMember(doc, "logLevel");
  if (level == nullptr) return QEL_ERR_INVALID_PARAMS;
  const std::string text = textOf(*level);
  if (text == "error")
    setRootPriority(kLogNotice);
  else if (text == "info")
    setRootPriority(kLogInfo);
  else if (text == "debug")
    setRootPriority(kLogDebug);
  return 0;
}

// ffprobe must see a media path as a file: a relative path that starts with '-'
// would be read as an option, and one with a "name:" prefix as a protocol.
std::string probeArgument(const char* path) {
  std::string argument(path);
  if (!argument.empty() && argument.front() != '/') argument.insert(0, "./");
  return argument;
}

// The media files a "process" request names: the values of its type-1 input
// items, in order (the operations probe these, and only these).
std::vector<std::string> requestMediaFiles(const rapidjson::Document& doc) {
  std::vector<std::string> files;
  auto op = doc.FindMember("operation");
  if (op == doc.MemberEnd() || !op->value.IsObject()) return files;
  auto input = op->value.FindMember("input");
  if (input == op->value.MemberEnd() || !input->value.IsArray()) return files;
  for (const rapidjson::Value& item : input->value.GetArray()) {
    if (!item.IsObject()) continue;
    auto type = item.FindMember("type");
    const rapidjson::Value* value = stringMember(item, "value");
    if (type == item.MemberEnd() || !type->value.IsInt64() || type->value.GetInt64() != 1 || value == nullptr) continue;
    files.push_back(textOf(*value));
  }
  return files;
}

// A probe of a local file finishes in well under a second; the bound only keeps
// a wedged ffprobe (a stalled network mount) from blocking the caller for ever.
constexpr auto kProbeTimeout = std::chrono::minutes(2);

}  // namespace

int setConfig(EngineContext& engine, const char* request) {
  rapidjson::Document doc;
  if (!parseObject(request, doc)) return QEL_ERR_INVALID_PARAMS;
  const rapidjson::Value* op = stringMember(doc, "op");
  if (op == nullptr) return QEL_ERR_INVALID_PARAMS;
  const std::string name = asciiLowerCopy(textOf(*op));
  if (name == "sethwaccel") return setHardwareVendor(engine, doc);
  if (name == "setloglevel") return setLogLevel(doc);
  return QEL_ERR_INVALID_PARAMS;
}

int getConfig(EngineContext& engine, const char* request, std::string& reply) {
  if (request == nullptr) return QEL_ERR_INVALID_PARAMS;
  rapidjson::Document doc;
  const rapidjson::Value* op = parseObject(request, doc) ? stringMember(doc, "op") : nullptr;
  // The op is compared exactly here, unlike in setConfig.
  const std::string name = op != nullptr ? textOf(*op) : std::string();
  if (name == "gethwaccel") {
    // Runs without the engine mutex: the first call may take several seconds.
    const HardwareSupport support = probeHardwareEncoders(engine.ffmpegPath(), systemTempFolder(), &engine.calls());
    reply = hwAccelReply(readSid(doc), support);
  } else if (name == "getloglevel") {
    reply = logLevelReply(readSid(doc), rootPriority());
  } else {
    reply = configErrorReply();
  }
  return 0;
}

int processLavfiRequest(EngineContext& engine, const char* request, std::string& reply) {
  if (request == nullptr) return QEL_ERR_INVALID_PARAMS;
  rapidjson::Document doc;
  const bool parsed = parseObject(request, doc);
  const std::int64_t sid = parsed ? readSid(doc) : 0;
  // The files of the request are probed first, without the engine mutex: a
  // slow file (or many of them) then holds only this request, never the
  // worker or other callers.
  std::map<std::string, std::string> probes;
  if (parsed) {
    for (const std::string& path : requestMediaFiles(doc)) {
      if (probes.count(path) != 0) continue;
      std::string json;
      runProbe(engine, path.c_str(), json, /*formatOnly=*/false);
      probes.emplace(path, std::move(json));
    }
  }
  const LavfiParseResult result = engine.parseRequest(std::string_view(request), std::move(probes));
  reply = processReply(sid, result);
  return 0;
}

int runProbe(EngineContext& engine, const char* path, std::string& output, bool formatOnly) {
  if (path == nullptr) return QEL_ERR_INVALID_PARAMS;
  struct stat info {};
  if (::stat(path, &info) != 0) return QEL_ERR_FILE_NOT_EXIST;
  // A FIFO, a device or a folder is no media file, and ffprobe would wait on a
  // FIFO (or a terminal) until its time limit.
  if (!S_ISREG(info.st_mode)) {
    logText(kLogError, std::string("not a regular file: ") + path);
    return QEL_ERR_UNSUPPORTED_FORMAT;
  }

  // Read without the engine mutex (see ffprobePath): runProbe is also called
  // by the operation parser while "process" holds that mutex.
  std::vector<std::string> argv{engine.ffprobePath(), "-hide_banner", "-v",          "quiet",
                                "-print_format",      "json",         "-show_format"};
  if (!formatOnly) argv.emplace_back("-show_streams");
  argv.push_back(probeArgument(path));

  if (std::optional<std::string> known = engine.probeCache().find(path, formatOnly)) {
    output += *known;
    return 0;
  }
  CapturedRun run = runAndCapture(argv, /*mergeStderr=*/true, kProbeTimeout, &engine.calls());
  output += run.output;
  if (!run.started || run.exitCode != 0) return QEL_ERR_UNSUPPORTED_FORMAT;
  engine.probeCache().store(path, formatOnly, run.output);
  return 0;
}

int getMediaProperties(EngineContext& engine, const char* path, std::string& props) {
  std::string json;
  const int result = runProbe(engine, path, json, /*formatOnly=*/false);
  if (result != 0) {
    logText(kLogError, std::string("GetMediaProps failed: ") + (path != nullptr ? path : ""));
  } else if (!hasImageExtension(path)) {
    logText(kLogNotice, path);
    logText(kLogNotice, json);
  }
  props = std::move(json);
  return result;
}

}  // namespace qel
