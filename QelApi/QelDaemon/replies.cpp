#include "QelDaemon/replies.h"

#include "QelDaemon/channel.h"
#include "common/json_write.h"
#include "qelapi.h"

namespace qel {
namespace {

void WriteStatus(JsonWriter& writer, int64_t sid, bool error, int64_t code, std::string_view detail) {
  writer.Key("sid");
  writer.Int64(sid);
  writeErrorMembers(writer, error, code, detail);
}

void WriteSidAndTaskId(JsonWriter& writer, int64_t sid, uint64_t taskId) {
  writer.Key("sid");
  writer.Int64(sid);
  writer.Key("taskId");
  writer.Uint64(taskId);
}

// The whole reply when it carries nothing but its status.
std::string StatusReplyText(int64_t sid, bool error, int64_t code, std::string_view detail) {
  rapidjson::StringBuffer buffer;
  JsonWriter writer(buffer);
  writer.StartObject();
  WriteStatus(writer, sid, error, code, detail);
  writer.EndObject();
  return jsonText(buffer);
}

}  // namespace

std::string ErrorReplyText(int64_t sid, int64_t code, std::string_view detail) {
  return StatusReplyText(sid, true, code, detail);
}

std::string SuccessReplyText(int64_t sid) { return StatusReplyText(sid, false, 0, ""); }

std::string DesktopZoomReplyText(int64_t sid, double zoom) {
  rapidjson::StringBuffer buffer;
  JsonWriter writer(buffer);
  writer.StartObject();
  WriteStatus(writer, sid, false, 0, "");
  writer.Key("desktopZoom");
  // RapidJSON writes the shortest text that reads back to the same double and
  // always keeps a fraction ("1.0", "1.25").
  writer.Double(zoom);
  writer.EndObject();
  return jsonText(buffer);
}

std::string PongReplyText(int64_t sid) {
  rapidjson::StringBuffer buffer;
  JsonWriter writer(buffer);
  writer.StartObject();
  writer.Key("sid");
  writer.Int64(sid);
  writer.Key("pong");
  writer.String("ok");
  writer.EndObject();
  return jsonText(buffer);
}

std::string TaskIdReplyText(int64_t sid, uint64_t taskId) {
  rapidjson::StringBuffer buffer;
  JsonWriter writer(buffer);
  writer.StartObject();
  WriteSidAndTaskId(writer, sid, taskId);
  writer.EndObject();
  return jsonText(buffer);
}

std::string TaskStateTemplateText(int64_t sid, uint64_t taskId, bool known) {
  rapidjson::StringBuffer buffer;
  JsonWriter writer(buffer);
  writer.StartObject();
  WriteSidAndTaskId(writer, sid, taskId);
  writeErrorMembers(writer, !known, known ? 0 : QEL_ERR_INVALID_PARAMS, known ? "" : "invalid parameters");
  writer.Key("totalPhase");
  writer.Int(0);
  writer.Key("currentPhase");
  writer.Int(0);
  writer.Key("phaseDetail");
  writer.StartObject();
  writer.Key("id");
  writer.String("");
  writer.Key("progress");
  writer.Int(known ? 0 : 100);
  writer.Key("speed");
  writer.String("0x");
  writer.Key("size");
  writer.String("0kB");
  writer.Key("usedTime");
  writer.String("");
  writer.Key("estimateTime");
  writer.String("");
  writer.Key("description");
  writer.String("");
  writer.EndObject();
  writer.Key("ids");
  writer.StartArray();
  writer.EndArray();
  writer.EndObject();
  return jsonText(buffer);
}

void ResponseError(Channel& channel, int64_t sid, int64_t code, std::string_view detail) {
  std::string reply = ErrorReplyText(sid, code, detail);
  channel.send(reply);
  qelapi_log('d', "ResponseError: %s\n", reply.c_str());
}

void ResponseTaskId(Channel& channel, int64_t sid, uint64_t taskId) { channel.send(TaskIdReplyText(sid, taskId)); }

void SendLogged(Channel& channel, std::string text) {
  bool logIt = text.find("operation") != std::string::npos;
  std::string copy = logIt ? text : std::string();
  channel.send(std::move(text));
  if (logIt) qelapi_log('d', "Response: %s\n", copy.c_str());
}

void DaemonLog(char level, std::string_view text) {
  std::string copy(text);
  qelapi_log(level, "%s", copy.c_str());
}

}  // namespace qel
