#include "capture/base/trace_event.h"

#include <atomic>

namespace capture {
namespace {

std::atomic<TraceCategoryHook> categoryHook{nullptr};
std::atomic<TraceEventHook> eventHook{nullptr};
const unsigned char kDisabled = 0;

}  // namespace

const unsigned char* TraceCategoryFlag(const char* category) {
  TraceCategoryHook hook = categoryHook.load();
  return hook != nullptr ? hook(category) : &kDisabled;
}

void EmitTraceEvent(char phase, const unsigned char* categoryFlag, const char* name, uint64_t id, int argCount,
                    const char** argNames, const unsigned char* argTypes, const uint64_t* argValues, void* convertable,
                    unsigned char flags) {
  TraceEventHook hook = eventHook.load();
  if (hook != nullptr) hook(phase, categoryFlag, name, id, argCount, argNames, argTypes, argValues, convertable, flags);
}

}  // namespace capture
