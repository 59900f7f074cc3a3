// The one fatal check reporter of the capture code. A broken internal invariant
// of a frame, buffer or capturer ends the process here, after writing a report
// that names the file, the line, the thread's last system error, the failed
// condition and any extra values to stderr.
//
// The report's file names are the ones the callers pass (stable, relative
// names), not __FILE__, so reports read the same whatever the build folder.
//
// Thread safety: reentrant; the report is written with one stderr write.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

namespace capture {

// Type codes of the extra arguments of a failed check; a list of them ends with kEnd.
enum class CheckArgType : uint8_t {
  kEnd = 0,
  kInt = 1,
  kLong = 2,
  kLongLong = 3,
  kUInt = 4,
  kULong = 5,
  kULongLong = 6,
  kDouble = 7,
  kLongDouble = 8,
  kCharP = 9,
  kStdString = 10,   // const std::string*
  kStringView = 11,  // const std::string_view*
  kVoidP = 12,
  kCheckOp = 13,  // first code only: the next two arguments are the compared values
};

// Writes the report and ends the process (abort). `codes` is a kEnd-terminated
// list describing the variadic arguments that follow.
[[noreturn]] void ReportFailedCheck(const char* file, int line, const char* condition, const CheckArgType* codes, ...);

// Appends printf-formatted text to `out`. Returns the number of characters
// written, or the sizing result (0 or negative) unchanged when nothing is to be
// written, leaving `out` as it was.
int AppendPrintf(std::string* out, const char* format, ...) __attribute__((format(printf, 2, 3)));

namespace check_internal {

template <typename T>
constexpr CheckArgType CodeOf() {
  using U = std::decay_t<T>;
  if constexpr (std::is_same_v<U, int> || std::is_same_v<U, short> || std::is_same_v<U, signed char>)
    return CheckArgType::kInt;
  else if constexpr (std::is_same_v<U, long>)
    return CheckArgType::kLong;
  else if constexpr (std::is_same_v<U, long long>)
    return CheckArgType::kLongLong;
  else if constexpr (std::is_same_v<U, unsigned> || std::is_same_v<U, unsigned short> ||
                     std::is_same_v<U, unsigned char> || std::is_same_v<U, bool>)
    return CheckArgType::kUInt;
  else if constexpr (std::is_same_v<U, unsigned long>)
    return CheckArgType::kULong;
  else if constexpr (std::is_same_v<U, unsigned long long>)
    return CheckArgType::kULongLong;
  else if constexpr (std::is_same_v<U, double> || std::is_same_v<U, float>)
    return CheckArgType::kDouble;
  else if constexpr (std::is_same_v<U, long double>)
    return CheckArgType::kLongDouble;
  else if constexpr (std::is_same_v<U, const char*> || std::is_same_v<U, char*>)
    return CheckArgType::kCharP;
  else if constexpr (std::is_same_v<U, std::string>)
    return CheckArgType::kStdString;
  else if constexpr (std::is_same_v<U, std::string_view>)
    return CheckArgType::kStringView;
  else if constexpr (std::is_pointer_v<U>)
    return CheckArgType::kVoidP;
  else
    static_assert(sizeof(U) == 0, "no check argument code for this type");
}

// What is passed through `...` for one argument of a given code.
template <typename T>
auto Pass(const T& value) {
  using U = std::decay_t<T>;
  if constexpr (std::is_array_v<std::remove_cvref_t<T>>)
    return static_cast<const char*>(value);
  else if constexpr (std::is_same_v<U, std::string> || std::is_same_v<U, std::string_view>)
    return &value;
  else if constexpr (std::is_same_v<U, float>)
    return static_cast<double>(value);
  else if constexpr (std::is_same_v<U, bool> || std::is_same_v<U, unsigned short> || std::is_same_v<U, unsigned char>)
    return static_cast<unsigned>(value);
  else if constexpr (std::is_same_v<U, short> || std::is_same_v<U, signed char>)
    return static_cast<int>(value);
  else if constexpr (std::is_pointer_v<U> && !std::is_same_v<U, const char*> && !std::is_same_v<U, char*>)
    return static_cast<const void*>(value);
  else
    return static_cast<U>(value);
}

}  // namespace check_internal

// Typed front ends of ReportFailedCheck: the codes follow from the argument types.
template <typename... Args>
[[noreturn]] void FailCheck(const char* file, int line, const char* condition, const Args&... args) {
  static constexpr CheckArgType codes[] = {check_internal::CodeOf<Args>()..., CheckArgType::kEnd};
  ReportFailedCheck(file, line, condition, codes, check_internal::Pass(args)...);
}

template <typename A, typename B, typename... Args>
[[noreturn]] void FailCheckOp(const char* file, int line, const char* condition, const A& a, const B& b,
                              const Args&... args) {
  static constexpr CheckArgType codes[] = {CheckArgType::kCheckOp, check_internal::CodeOf<A>(),
                                           check_internal::CodeOf<B>(), check_internal::CodeOf<Args>()...,
                                           CheckArgType::kEnd};
  ReportFailedCheck(file, line, condition, codes, check_internal::Pass(a), check_internal::Pass(b),
                    check_internal::Pass(args)...);
}

}  // namespace capture

// Ends the process with a report when `condition` is false. `file` and `line`
// are the names the report prints.
#define CAPTURE_CHECK_AT(file, line, condition, ...)                                           \
  do {                                                                                         \
    if (!(condition)) ::capture::FailCheck(file, line, #condition __VA_OPT__(, ) __VA_ARGS__); \
  } while (0)
