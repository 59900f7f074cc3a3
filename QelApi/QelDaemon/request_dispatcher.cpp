#include "QelDaemon/request_dispatcher.h"

#include <chrono>

#include <rapidjson/document.h>

#include "QelDaemon/channel.h"
#include "QelDaemon/daemon_state.h"
#include "QelDaemon/desktop_zoom.h"
#include "QelDaemon/media_props.h"
#include "QelDaemon/replies.h"
#include "QelDaemon/task_handlers.h"
#include "common/ascii_case.h"
#include "qelapi.h"

namespace qel {
namespace {

// An engine request that writes its reply text (qelapi_get_config, qelapi_process_lavfi).
using EngineTextCall = int (*)(void* handle, const char* request, char** reply);

// Runs `call` on the request's data, holding the engine only for the call, and
// sends the text it wrote unchanged (an empty message when none came back).
void AnswerWithEngineText(DaemonState& state, const InputParam& param, EngineTextCall call) {
  char* text = nullptr;
  {
    EngineLease engine(state.engine);
    call(engine.get(), param.data.c_str(), &text);
  }
  std::string reply = text != nullptr ? std::string(text) : std::string();
  qelapi_free_str(nullptr, &text);
  SendLogged(*param.channel, std::move(reply));
}

// The four shared members. A member of the wrong type is an error, like a
// request whose reading raises one: the caller then treats "op" as empty.
struct ParsedRequest {
  bool typeError = false;
  int64_t sid = 0;
  std::string op;
  bool hasTaskId = false;
  uint64_t taskId = 0;
  bool hasPath = false;
  std::string path;
};

ParsedRequest ReadMembers(const rapidjson::Value& root) {
  ParsedRequest out;
  auto sid = root.FindMember("sid");
  if (sid != root.MemberEnd()) {
    // The sid is read as a 32-bit value: 4294967297 comes back as 1.
    if (sid->value.IsInt64()) {
      out.sid = static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(sid->value.GetInt64())));
    } else if (sid->value.IsUint64()) {
      out.sid = static_cast<int32_t>(static_cast<uint32_t>(sid->value.GetUint64()));
    } else {
      out.typeError = true;
    }
  }
  auto op = root.FindMember("op");
  if (op != root.MemberEnd()) {
    if (op->value.IsString()) {
      out.op = asciiLowerCopy(std::string_view(op->value.GetString(), op->value.GetStringLength()));
    } else {
      out.typeError = true;
    }
  }
  auto taskId = root.FindMember("taskId");
  if (taskId != root.MemberEnd()) {
    if (taskId->value.IsUint64()) {
      out.hasTaskId = true;
      out.taskId = taskId->value.GetUint64();
      if (out.taskId == 0) out.taskId = NowMillis();
    } else {
      out.typeError = true;
    }
  }
  auto path = root.FindMember("path");
  if (path != root.MemberEnd()) {
    // A NUL inside the path would cut it short on its way to the engine.
    if (path->value.IsString() &&
        std::string_view(path->value.GetString(), path->value.GetStringLength()).find('\0') == std::string_view::npos) {
      out.hasPath = true;
      out.path.assign(path->value.GetString(), path->value.GetStringLength());
    } else {
      out.typeError = true;
    }
  }
  return out;
}

}  // namespace

int JsonNestingDepth(std::string_view text) {
  int depth = 0;
  int deepest = 0;
  bool inString = false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (inString) {
      if (c == '\\') {
        ++i;  // the escaped character, whatever it is
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > deepest) deepest = depth;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return deepest;
}

uint64_t NowMillis() {
  auto now = std::chrono::system_clock::now().time_since_epoch();
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

const std::map<std::string, OpHandler>& OpTable() {
  static const std::map<std::string, OpHandler> table = {
      {"ping", &HandlePing},
      {"starttask", &HandleStartTask},
      {"aborttask", &HandleAbortTask},
      {"gettaskstate", &HandleGetTaskState},
      {"getmediaprops", &HandleGetMediaProps},
      {"gethwaccel", &HandleGetConfig},
      {"sethwaccel", &HandleSetConfig},
      {"process", &HandleProcess},
      {"cleancache", &HandleCleanCache},
      {"getloglevel", &HandleGetConfig},
      {"setloglevel", &HandleSetConfig},
      {"cleanthumbnail", &HandleCleanThumbnail},
      {"getdesktopzoom", &HandleGetDesktopZoom},
      {"quit", &HandleQuit},
  };
  return table;
}

void HandleMessage(DaemonState& state, const std::shared_ptr<Channel>& channel, const std::string& text,
                   std::atomic<int>& quitFlag) {
  if (text.find("process") != std::string::npos || text.find("starttask") != std::string::npos ||
      text.find("getmediaprops") != std::string::npos) {
    qelapi_log('d', "Message: %s\n", text.c_str());
  }

  rapidjson::Document document;
  // Iterative parsing: a client's deeply nested text must not exhaust the stack.
  document.Parse<rapidjson::kParseIterativeFlag>(text.c_str(), text.size());
  // A root that is not an object is as unusable as a text that does not parse.
  if (document.HasParseError() || !document.IsObject()) {
    ResponseError(*channel, 0, QEL_ERR_INVALID_PARAMS, kInvalidParameterText);
    return;
  }

  InputParam param;
  param.data = text;
  param.channel = channel;
  const auto& table = OpTable();

  ParsedRequest request = ReadMembers(document);
  param.sid = request.sid;
  param.taskId = request.taskId;
  if (request.hasPath) param.data = request.path;
  if (request.typeError) {
    qelapi_log('d', "occurred some errors while parsing json:\n %s\n", text.c_str());
    request.op.clear();
  }
  if (JsonNestingDepth(text) > kMaxRequestDepth) {
    DaemonLog('w', "request nested too deeply, refused");
    request.op.clear();
  }

  if (request.op.empty()) {
    ResponseError(*channel, param.sid, QEL_ERR_INVALID_PARAMS, kInvalidParameterText);
    return;
  }
  auto entry = table.find(request.op);
  if (entry == table.end()) {
    ResponseError(*channel, param.sid, QEL_ERR_INVALID_PARAMS, kUndefinedOpText);
    return;
  }
  entry->second(state, param);
  if (request.op == "quit") quitFlag.exchange(1);
}

void HandlePing(DaemonState& /*state*/, const InputParam& param) { param.channel->send(PongReplyText(param.sid)); }

void HandleGetConfig(DaemonState& state, const InputParam& param) {
  AnswerWithEngineText(state, param, qelapi_get_config);
}

void HandleSetConfig(DaemonState& state, const InputParam& param) {
  {
    EngineLease engine(state.engine);
    // A refused value is still answered with success, as clients expect.
    qelapi_set_config(engine.get(), param.data.c_str());
  }
  SendLogged(*param.channel, SuccessReplyText(param.sid));
}

void HandleProcess(DaemonState& state, const InputParam& param) {
  AnswerWithEngineText(state, param, qelapi_process_lavfi);
}

void HandleCleanCache(DaemonState& state, const InputParam& param) {
  {
    EngineLease engine(state.engine);
    qelapi_clean_lavfi_cache(engine.get());
  }
  SendLogged(*param.channel, SuccessReplyText(param.sid));
}

void HandleGetDesktopZoom(DaemonState& /*state*/, const InputParam& param) {
  SendLogged(*param.channel, DesktopZoomReplyText(param.sid, GetDesktopZoom()));
}

void HandleQuit(DaemonState& state, const InputParam& param) {
  // Engine calls still running on other threads (the start-up probe, for
  // one) end with their programs, and are waited for before the engine is
  // freed; the programs of other handlers go too.
  state.children.cancel();
  state.engine.shutdown();
  ResponseTaskId(*param.channel, param.sid, param.taskId);
}

}  // namespace qel
