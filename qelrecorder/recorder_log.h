// The recorder's six loggers. Each formats its printf-style message (see
// printf_format.h) into a bounded buffer and hands it to the host's handler of
// its family: level null for information, "WARN" or "ERROR"; the function tag;
// the text, valid only during the call. A narrow message is cut to 1024 bytes
// (never inside a UTF-8 sequence), a wide one to 1023 characters. Without a
// handler the text is formatted and dropped.
//
// Thread safety: the loggers may be called from any thread, also concurrently;
// the handlers are set before any recording thread starts.
#pragma once

#include <string>

#include "qelrecorder/printf_format.h"
#include "qelrecorder/qelrecorder.h"

namespace qelrec {

inline constexpr size_t kNarrowLogLimit = 1024;  // bytes
inline constexpr size_t kWideLogLimit = 1023;    // characters

void SetLogHandlers(LogHandlerA narrow, LogHandlerW wide);

// Cut to the limits and passed on (or dropped).
void EmitLogA(const char* level, const char* tag, std::string message);
void EmitLogW(const char* level, const char* tag, std::wstring message);

template <typename... A>
void LogInfoA(const char* tag, const char* format, const A&... args) {
  EmitLogA(nullptr, tag, FormatA(format, args...));
}
template <typename... A>
void LogWarnA(const char* tag, const char* format, const A&... args) {
  EmitLogA("WARN", tag, FormatA(format, args...));
}
template <typename... A>
void LogErrorA(const char* tag, const char* format, const A&... args) {
  EmitLogA("ERROR", tag, FormatA(format, args...));
}
template <typename... A>
void LogInfoW(const char* tag, const wchar_t* format, const A&... args) {
  EmitLogW(nullptr, tag, FormatW(format, args...));
}
template <typename... A>
void LogWarnW(const char* tag, const wchar_t* format, const A&... args) {
  EmitLogW("WARN", tag, FormatW(format, args...));
}
template <typename... A>
void LogErrorW(const char* tag, const wchar_t* format, const A&... args) {
  EmitLogW("ERROR", tag, FormatW(format, args...));
}

}  // namespace qelrec
