#include "replies.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "channel.h"
#include "common/ascii_case.h"
#include "common/text_convert.h"
#include "qelapi.h"

namespace qel {
namespace {

using JsonWriter = rapidjson::Writer<rapidjson::StringBuffer>;

std::string Finish(const rapidjson::StringBuffer& buffer) {
  return std::string(buffer.GetString(), buffer.GetSize());
}

void WriteString(JsonWriter& writer, std::string_view text) {
  writer.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
}

void WriteStatus(JsonWriter& writer, int64_t sid, bool error, int64_t code, std::string_view detail) {
  writer.Key("sid");
  writer.Int64(sid);
  writer.Key("error");
  writer.Bool(error);
  writer.Key("errorCode");
  writer.Int64(code);
  writer.Key("errorDetail");
  WriteString(writer, detail);
}

}  // namespace

std::string ErrorReplyText(int64_t sid, int64_t code, std::string_view detail) {
  rapidjson::StringBuffer buffer;
  JsonWriter writer(buffer);
  writer.StartObject();
  WriteStatus(writer, sid, true, code, detail);
  writer.EndObject();
  return Finish(buffer);
}

std::string SuccessReplyText(int64_t sid) {
  rapidjson::StringBuffer buffer;
  JsonWriter writer(buffer);
  writer.StartObject();
  WriteStatus(writer, sid, false, 0, "");
  writer.EndObject();
  return Finish(buffer);
}

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
  return Finish(buffer);
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
  return Finish(buffer);
}

std::string TaskIdReplyText(int64_t sid, uint64_t taskId) {
  rapidjson::StringBuffer buffer;
  JsonWriter writer(buffer);
  writer.StartObject();
  writer.Key("sid");
  writer.Int64(sid);
  writer.Key("taskId");
  writer.Uint64(taskId);
  writer.EndObject();
  return Finish(buffer);
}

void ResponseError(Channel& channel, int64_t sid, int64_t code, std::string_view detail) {
  std::string reply = ErrorReplyText(sid, code, detail);
  channel.send(reply);
  qelapi_log('d', "ResponseError: %s\n", reply.c_str());
}

void ResponseTaskId(Channel& channel, int64_t sid, uint64_t taskId) {
  channel.send(TaskIdReplyText(sid, taskId));
}

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

std::string ToValidUtf8(std::string_view text) {
  // Fast path: most texts are valid already.
  size_t i = 0;
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  bool valid = true;
  while (i < n && valid) {
    unsigned char c = bytes[i];
    size_t len = 0;
    uint32_t min = 0;
    uint32_t cp = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      len = 2; cp = c & 0x1F; min = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3; cp = c & 0x0F; min = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4; cp = c & 0x07; min = 0x10000;
    } else {
      valid = false;
      break;
    }
    if (i + len > n) { valid = false; break; }
    for (size_t k = 1; k < len; ++k) {
      unsigned char cc = bytes[i + k];
      if ((cc & 0xC0) != 0x80) { valid = false; break; }
      cp = (cp << 6) | (cc & 0x3F);
    }
    if (!valid) break;
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) { valid = false; break; }
    i += len;
  }
  if (valid) return std::string(text);
  // Slow path: the shared conversions replace every ill-formed sequence with
  // U+FFFD. They stop at NUL, so the text goes through piece by piece.
  std::string out;
  size_t start = 0;
  while (start <= n) {
    size_t nul = text.find('\0', start);
    size_t end = nul == std::string_view::npos ? n : nul;
    out += wideToUtf8(utf8ToWide(std::string(text.substr(start, end - start))));
    if (nul == std::string_view::npos) break;
    out.push_back('\0');
    start = nul + 1;
  }
  return out;
}

std::string AsciiLower(std::string_view text) { return asciiLowerCopy(text); }

}  // namespace qel
