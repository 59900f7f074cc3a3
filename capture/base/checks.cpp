#include "capture/base/checks.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "platform/core/last_error.h"

namespace capture {
namespace {

int AppendVPrintf(std::string* out, const char* format, va_list args) {
  va_list sizing;
  va_copy(sizing, args);
  int size = std::vsnprintf(nullptr, 0, format, sizing);
  va_end(sizing);
  if (size <= 0) return size;
  size_t old = out->size();
  out->resize(old + static_cast<size_t>(size) + 1);
  std::vsnprintf(out->data() + old, static_cast<size_t>(size) + 1, format, args);
  out->resize(old + static_cast<size_t>(size));
  return size;
}

int AppendFormatted(std::string* out, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = AppendVPrintf(out, format, args);
  va_end(args);
  return n;
}

// Appends one argument by its code; false for an unknown code (after writing
// the marker), which ends the argument list.
bool FormatCheckArg(CheckArgType code, va_list* args, std::string* out) {
  switch (code) {
    case CheckArgType::kInt: AppendFormatted(out, "%d", va_arg(*args, int)); return true;
    case CheckArgType::kLong: AppendFormatted(out, "%ld", va_arg(*args, long)); return true;
    case CheckArgType::kLongLong: AppendFormatted(out, "%lld", va_arg(*args, long long)); return true;
    case CheckArgType::kUInt: AppendFormatted(out, "%u", va_arg(*args, unsigned)); return true;
    case CheckArgType::kULong: AppendFormatted(out, "%lu", va_arg(*args, unsigned long)); return true;
    case CheckArgType::kULongLong: AppendFormatted(out, "%llu", va_arg(*args, unsigned long long)); return true;
    case CheckArgType::kDouble: AppendFormatted(out, "%g", va_arg(*args, double)); return true;
    case CheckArgType::kLongDouble: AppendFormatted(out, "%Lg", va_arg(*args, long double)); return true;
    case CheckArgType::kCharP: out->append(va_arg(*args, const char*)); return true;
    case CheckArgType::kStdString: out->append(*va_arg(*args, const std::string*)); return true;
    case CheckArgType::kStringView: {
      const auto* view = va_arg(*args, const std::string_view*);
      out->append(view->data(), view->size());
      return true;
    }
    case CheckArgType::kVoidP: AppendFormatted(out, "%p", va_arg(*args, const void*)); return true;
    default: out->append("[Invalid CheckArgType]"); return false;
  }
}

}  // namespace

int AppendPrintf(std::string* out, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = AppendVPrintf(out, format, args);
  va_end(args);
  return n;
}

void ReportFailedCheck(const char* file, int line, const char* condition, const CheckArgType* codes, ...) {
  // Read first: formatting may change it.
  unsigned lastError = platform::GetLastError();
  std::string message;
  AppendPrintf(&message, "\n\n#\n# Fatal error in: %s, line %d\n# last system error: %u\n# Check failed: %s", file,
               line, lastError, condition);

  va_list args;
  va_start(args, codes);
  bool more = true;
  if (*codes == CheckArgType::kCheckOp) {
    std::string a;
    std::string b;
    ++codes;
    more = FormatCheckArg(*codes++, &args, &a);
    if (more) more = FormatCheckArg(*codes++, &args, &b);
    AppendPrintf(&message, " (%s vs. %s)\n# ", a.c_str(), b.c_str());
  } else {
    message.append("\n# ");
  }
  while (more && *codes != CheckArgType::kEnd) more = FormatCheckArg(*codes++, &args, &message);
  va_end(args);

  std::fflush(stdout);
  std::fprintf(stderr, "%s", message.c_str());
  std::fflush(stderr);
  // No breakpoint: without a debugger SIGTRAP would end the process before the
  // abort, and a debugger stops at the abort anyway.
  std::abort();
}

}  // namespace capture
