#include "tool/string_util.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "tool/print_format.h"
#include "tool/text_codec.h"

namespace tool {

namespace {

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool EqualIgnoringCase(const char* a, const char* b, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

}  // namespace

std::string UTF8FromUnicode(const std::wstring& text) {
  return text_internal::WideToUtf8(text.c_str(), std::wcslen(text.c_str()));
}

std::wstring UnicodeFromUTF8(const std::string& text) {
  // The converter replaces what it cannot read, so there is no failure to log.
  return text_internal::Utf8ToWide(text.c_str(), std::strlen(text.c_str()));
}

std::string Format(const char* format, ...) {
  char buffer[4096] = {};
  va_list args;
  va_start(args, format);
  std::size_t n = text_internal::FormatBounded(buffer, 4087, format, args);
  va_end(args);
  return std::string(buffer, n);
}

std::string PrettyLastError() {
  int code = errno;
  char buffer[256];
  const char* message = strerror_r(code, buffer, sizeof buffer);
  std::string text = "errno:" + std::to_string(static_cast<unsigned>(code)) + ", '";
  text += message ? message : "";
  text += "'";
  errno = code;
  return text;
}

std::string ReplaceAll(const std::string& text, const std::string& from, const std::string& to) {
  if (from.empty()) return text;
  std::string result = text;
  for (std::size_t at = result.find(from); at != std::string::npos; at = result.find(from, at)) {
    result.replace(at, from.size(), to);
    at += to.size();
  }
  return result;
}

std::vector<std::string> SplitedStringVectorBySeparator(const std::string& text, const std::string& separator) {
  std::vector<std::string> pieces;
  if (separator.empty()) {
    pieces.push_back(text);
    return pieces;
  }
  std::size_t position = 0;
  for (std::size_t at = text.find(separator); at != std::string::npos; at = text.find(separator, position)) {
    pieces.push_back(text.substr(position, at - position));
    position = at + separator.size();
  }
  pieces.push_back(text.substr(position));
  return pieces;
}

std::string StringJoinedBySeparator(const std::vector<std::string>& items, const std::string& separator) {
  std::string result;
  for (const std::string& item : items) {
    if (result.empty()) {
      result = item.empty() ? separator : item;
    } else if (separator.size() == 1 && result.back() == separator[0]) {
      result += item;
    } else {
      result += separator;
      result += item;
    }
  }
  return result;
}

std::string Trim(const std::string& text, const std::string& chars) {
  if (chars.empty()) return text;
  std::size_t first = text.find_first_not_of(chars);
  if (first == std::string::npos) return std::string();
  std::size_t last = text.find_last_not_of(chars);
  return text.substr(first, last - first + 1);
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() && EqualIgnoringCase(text.data(), prefix.data(), prefix.size());
}

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         EqualIgnoringCase(text.data() + text.size() - suffix.size(), suffix.data(), suffix.size());
}

int64_t ToInt64(const std::string& text) {
  int saved = errno;
  long long value = std::strtoll(text.c_str(), nullptr, 10);
  errno = saved;
  return value;
}

std::string ToLowerCase(const std::string& text) {
  std::string result = text;
  for (char& c : result) c = AsciiLower(c);
  return result;
}

std::string ToUpperCase(const std::string& text) {
  std::string result = text;
  for (char& c : result) c = AsciiUpper(c);
  return result;
}

}  // namespace tool
