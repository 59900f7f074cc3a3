// The render-process library ("tessavel") and the process facts the picker
// needs. On this platform no sound server tells which program plays what, so
// the list of processes that play audio is set by tests or the run script
// (real process ids); names and image paths come from /proc.
//
// Thread safety: all functions may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform::apps {

// One entry as the library and the recorder exchange it (1576 bytes; icon and
// window are 32-bit handles, as designed).
struct RenderProcessEntry {
  uint32_t processId;
  char16_t imagePath[260];
  char16_t displayName[260];
  char16_t logoFile[260];
  uint32_t backgroundColor;
  uint32_t icon;
  uint32_t window;
};
static_assert(sizeof(RenderProcessEntry) == 1576);
static_assert(offsetof(RenderProcessEntry, displayName) == 524);
static_assert(offsetof(RenderProcessEntry, logoFile) == 1044);
static_assert(offsetof(RenderProcessEntry, backgroundColor) == 1564);
static_assert(offsetof(RenderProcessEntry, window) == 1572);

// Fills at most *count entries' process ids from the current list; *count
// becomes the number filled. 0 on success; -1 for null arguments or a failure
// injected as "apps.TSV_EnumerateRenderProcess".
int TSV_EnumerateRenderProcess(int* count, RenderProcessEntry* entries);

// The processes that play audio (tests, run script).
void SetRenderProcesses(const std::vector<uint32_t>& pids);
std::vector<uint32_t> RenderProcesses();

// The executable's full path (empty when the process cannot be read).
std::string ProcessImagePath(uint32_t pid);
// Whether the process has ended (gone, or only waiting to be reaped).
bool ProcessEnded(uint32_t pid);
// The process's start time in clock ticks since boot (0 when it cannot be
// read): a process id reused by a later process shows another start time.
uint64_t ProcessStartTime(uint32_t pid);
// Whether the process that had `startTime` has ended: gone, waiting to be
// reaped, or its id now belongs to another process.
bool ProcessEndedSince(uint32_t pid, uint64_t startTime);
// The parent's process id (0 when the process cannot be read or has none).
uint32_t ParentProcessId(uint32_t pid);
// Whether /proc shows the process at all.
bool ProcessExists(uint32_t pid);

// Indirect strings ("@{package?ms-resource://...}"): tests register what they
// resolve to; unknown ones fail.
void SetIndirectString(const std::string& indirect, const std::string& value);
bool LoadIndirectString(const std::string& indirect, std::string& value);

}  // namespace platform::apps
