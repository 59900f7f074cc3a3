// The daemon's reply texts and its small logging and text helpers. Every
// reply is compact JSON written member by member in a fixed order.
//
// Thread safety: all functions are reentrant.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qel {

class Channel;

// The daemon's own error texts (the engine's texts come from
// qelapi_get_error_string).
inline constexpr const char* kInvalidParameterText = "Invalid parameter";
inline constexpr const char* kUndefinedOpText = "undefined op";
inline constexpr const char* kTaskIdNotExistText = "task id do not exist";

// {"sid":<sid>,"error":true,"errorCode":<code>,"errorDetail":<detail>}
std::string ErrorReplyText(int64_t sid, int64_t code, std::string_view detail);
// {"sid":<sid>,"error":false,"errorCode":0,"errorDetail":""}
std::string SuccessReplyText(int64_t sid);
// SuccessReply with "desktopZoom":<zoom> (shortest form, always with a fraction).
std::string DesktopZoomReplyText(int64_t sid, double zoom);
// {"sid":<sid>,"pong":"ok"}
std::string PongReplyText(int64_t sid);
// {"sid":<sid>,"taskId":<taskId>}: the quit reply and the completion notice.
std::string TaskIdReplyText(int64_t sid, uint64_t taskId);
// The "gettaskstate" answer when the daemon has no status text: `known` false
// gives the unknown-task form ("progress" 100, error 6510), true the
// started-but-no-report form.
std::string TaskStateTemplateText(int64_t sid, uint64_t taskId, bool known);

// Sends an ErrorReply and logs it at debug level ("ResponseError: ...").
void ResponseError(Channel& channel, int64_t sid, int64_t code, std::string_view detail);
// Sends {"sid","taskId"}.
void ResponseTaskId(Channel& channel, int64_t sid, uint64_t taskId);
// Sends `text` and logs it at debug level ("Response: ...") when it contains
// the word "operation".
void SendLogged(Channel& channel, std::string text);

// Writes `text` to the engine log at the level letter ('d','e','i','n','w');
// the text is an argument, never a format.
void DaemonLog(char level, std::string_view text);

}  // namespace qel
