// The render-process library ("tessavel") and the process facts the picker
// needs. The processes that play audio come from the sound server: PulseAudio
// names the program behind each playback stream (platform/apps/playing_programs.h).
// The simulated backing answers a list that tests or the run script's
// `render` line set (real process ids); it serves when QEL_BACKING=sim or a
// test forces the "apps" backing, and from the moment such a list is set.
// Names and image paths come from /proc.
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

// Fills at most *count entries' process ids with the programs that play audio
// now (each once, in the sound server's stream order); *count becomes the
// number filled and nothing else of the entries is touched. 0 on success; -1
// for null arguments or a failure injected as "apps.TSV_EnumerateRenderProcess";
// -2 when the sound server cannot be reached or does not answer within about
// a second.
int TSV_EnumerateRenderProcess(int* count, RenderProcessEntry* entries);

// The simulated list of processes that play audio (tests, run script). Setting
// it selects the simulated backing for the rest of the process (a test that
// wants the sound server again forces the "apps" backing to Real and calls
// ReselectRenderBacking).
void SetRenderProcesses(const std::vector<uint32_t>& pids);
std::vector<uint32_t> RenderProcesses();
// Testing: the backing is chosen again at the next enumeration.
void ReselectRenderBacking();

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
