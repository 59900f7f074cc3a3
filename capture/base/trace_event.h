// Trace-event hooks. A tracing back end would install a category hook and an
// event hook; none is installed in this system, so every category reads as
// disabled and no event is emitted. The scopes stay in the capturers so that a
// back end can be attached without touching them.
//
// Thread safety: the hooks are read atomically; flag pointers are cached in
// thread-safe function-local statics by the callers.
#pragma once

#include <cstdint>

namespace capture {

using TraceCategoryHook = const unsigned char* (*)(const char* category);
using TraceEventHook = void (*)(char phase, const unsigned char* categoryFlag, const char* name, uint64_t id,
                                int argCount, const char** argNames, const unsigned char* argTypes,
                                const uint64_t* argValues, void* convertable, unsigned char flags);

// The flag byte of `category`: the hook's answer, or a zero byte without a hook.
const unsigned char* TraceCategoryFlag(const char* category);
// Forwards one event to the event hook; does nothing without one.
void EmitTraceEvent(char phase, const unsigned char* categoryFlag, const char* name, uint64_t id, int argCount,
                    const char** argNames, const unsigned char* argTypes, const uint64_t* argValues, void* convertable,
                    unsigned char flags);

// Emits a begin event when made and an end event when destroyed, when the
// category is enabled.
class TraceScope {
 public:
  TraceScope(const unsigned char* categoryFlag, const char* name) : flag_(categoryFlag), name_(name) {
    if (*flag_ != 0) EmitTraceEvent('B', flag_, name_, 0, 0, nullptr, nullptr, nullptr, nullptr, 0);
  }
  ~TraceScope() {
    if (*flag_ != 0) EmitTraceEvent('E', flag_, name_, 0, 0, nullptr, nullptr, nullptr, nullptr, 0);
  }
  TraceScope(const TraceScope&) = delete;
  TraceScope& operator=(const TraceScope&) = delete;

 private:
  const unsigned char* flag_;
  const char* name_;
};

}  // namespace capture

// Opens a TraceScope for the rest of the enclosing block, category "capture";
// the category flag is looked up once per call site.
#define CAPTURE_TRACE_SCOPE(name)                                                          \
  static const unsigned char* captureTraceFlag_ = ::capture::TraceCategoryFlag("capture"); \
  ::capture::TraceScope captureTraceScope_(captureTraceFlag_, name)
