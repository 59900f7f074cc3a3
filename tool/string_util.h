// Text helpers of the library: UTF-8 <-> wide conversions, printf-style
// formatting, the last system error as text, splitting, joining, trimming,
// replacing, prefix and suffix tests, decimal parsing and ASCII case mapping.
// Narrow texts are handled as bytes (only the conversions read UTF-8); every
// function returns a new value and a failure gives an empty result.
//
// Thread safety: stateless, callable from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tool/export.h"

namespace tool {

// `text` up to its first zero character in UTF-8; ill-formed wide text
// (lone surrogates, values beyond U+10FFFF) becomes U+FFFD.
TOOL_API std::string UTF8FromUnicode(const std::wstring& text);
// `text` up to its first zero byte as wide text; ill-formed UTF-8 becomes U+FFFD.
TOOL_API std::wstring UnicodeFromUTF8(const std::string& text);
// printf-style (see print_format.h for %s/%S/%p); at most 4087 characters.
TOOL_API std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
// "errno:" + the calling thread's errno + ", '" + its message + "'".
TOOL_API std::string PrettyLastError();
TOOL_API std::string ReplaceAll(const std::string& text, const std::string& from, const std::string& to);
// The pieces between whole-string separators; always one more than separators.
TOOL_API std::vector<std::string> SplitedStringVectorBySeparator(const std::string& text, const std::string& separator);
TOOL_API std::string StringJoinedBySeparator(const std::vector<std::string>& items, const std::string& separator);
// Removes the characters of `chars` from both ends.
TOOL_API std::string Trim(const std::string& text, const std::string& chars);
// Prefix and suffix tests ignoring the case of ASCII letters.
TOOL_API bool StartsWith(const std::string& text, const std::string& prefix);
TOOL_API bool EndsWith(const std::string& text, const std::string& suffix);
// The decimal number at the start of `text` (strtoll rules, clamped).
TOOL_API int64_t ToInt64(const std::string& text);
TOOL_API std::string ToLowerCase(const std::string& text);
TOOL_API std::string ToUpperCase(const std::string& text);

}  // namespace tool
