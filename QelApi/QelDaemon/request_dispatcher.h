// The request dispatcher: every WebSocket text message is one JSON request. It
// reads "sid", "op", "taskId" and "path" into an `InputParam`, looks "op" up
// (lower-cased) in the op table and calls the handler, which sends at most one
// reply on the request's connection. Also the handlers that answer directly or
// pass the request to the engine (ping, configuration, process, clean cache,
// desktop zoom, quit).
//
// Malformed input never stops the daemon: a text that is not a JSON object,
// a missing or empty "op", or one of the four members with the wrong type is
// answered with 6510 "Invalid parameter"; an unknown op with 6510 "undefined op".
// The text is parsed iteratively (no recursion, whatever the nesting), and a
// request nested deeper than kMaxRequestDepth is refused with 6510 "Invalid
// parameter" and the sid read: the engine parses the texts it is handed with a
// recursive parser, so a deep one must never reach it.
//
// Thread safety: HandleMessage may run on any thread; the op table is built
// once under a one-time initialisation and only read afterwards. The handlers
// take no daemon lock besides their engine lease (and the task store's mutex
// for the task handlers, task_handlers.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

namespace qel {

class Channel;
struct DaemonState;

struct InputParam {
  int64_t sid = 0;
  uint64_t taskId = 0;
  std::string data;                  // "path" when present, else the whole request
  std::shared_ptr<Channel> channel;  // where the reply goes
};

// Deepest nesting of arrays and objects a request may have. Real requests
// nest four or five levels (operations, items, ...).
inline constexpr int kMaxRequestDepth = 64;

// The deepest nesting of arrays and objects in a JSON text (strings and their
// escapes skipped). Linear, no recursion; meaningful for texts that parse.
int JsonNestingDepth(std::string_view text);

using OpHandler = void (*)(DaemonState& state, const InputParam& param);

// The op table: operation name to handler, ordered by name.
const std::map<std::string, OpHandler>& OpTable();

// Handles one request text from `channel` with the daemon's shared `state`.
// Sets `quitFlag` to 1 after a "quit" request has been handled.
void HandleMessage(DaemonState& state, const std::shared_ptr<Channel>& channel, const std::string& text,
                   std::atomic<int>& quitFlag);

void HandlePing(DaemonState& state, const InputParam& param);
void HandleGetConfig(DaemonState& state, const InputParam& param);
void HandleSetConfig(DaemonState& state, const InputParam& param);
void HandleProcess(DaemonState& state, const InputParam& param);
void HandleCleanCache(DaemonState& state, const InputParam& param);
void HandleGetDesktopZoom(DaemonState& state, const InputParam& param);
void HandleQuit(DaemonState& state, const InputParam& param);

// Milliseconds since 1970-01-01 UTC by the system clock (replaces a taskId of 0).
uint64_t NowMillis();

}  // namespace qel
