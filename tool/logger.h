// The library's one process-wide logger, exported with C linkage so that any
// program loading libtool.so can write to it too.
//
// A line is "YYYY-MM-DD HH:MM:SS.mmm NAME [program:pid:tid] message\n" with the
// local time, the severity name (0 NONE, 1 FATAL, 2 ERROR, 3 WARN, 4 INFO,
// 5 DEBUG, 6 VERBO, anything else UNDEF), the running program's file name, the
// process id in decimal and the thread id in lower-case hexadecimal. A line is
// written when its severity is at most the threshold (4 at load time). Lines go
// to standard error, or to the file chosen with SetLogTarget; each is written
// whole and flushed before the call returns.
//
// Formats follow print_format.h: in DebugLog %s is narrow (UTF-8) and %S wide
// text; in DebugLogW %s is wide and %S narrow; %p prints 16 hexadecimal digits.
// A message longer than the line buffer (4,096,000 characters) is cut.
//
// Thread safety: every function may be called from any thread. Narrow lines
// never mix with each other, nor wide lines with each other; SetLogTarget waits
// for the lines being written and may be called while other threads log.
#pragma once

#include <string>

#include "tool/export.h"

extern "C" {

TOOL_API void DebugLog(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
TOOL_API void DebugLogW(int level, const wchar_t* format, ...);
TOOL_API void SetLogSeverity(int threshold);
// An empty path selects standard error. A file larger than 10,485,760 bytes is
// emptied and started afresh, a smaller one appended to, a missing one created;
// when it cannot be opened the log goes to standard error.
TOOL_API void SetLogTarget(const std::string& file_path);
}
