// The hardware-encoder probe: finds out once per process which vendor H.264
// encoders work on this machine by really encoding a short clip with each, and
// keeps the answer for the life of the process (published through
// base/hardware_flags.h, where cachedHardwareSupport reads it).
//
// Thread safety: every function here may be called from any thread. At most one
// probe runs at a time in the process; a caller that arrives while another
// probes waits for it and then takes its answer. The cached answer is published
// atomically, so `cachedHardwareSupport` never sees it half written.
#pragma once

#include <string>

#include "base/hardware_flags.h"

namespace qel {

class ChildGroup;

// Name of the test clip the probe writes in a private folder it makes inside the
// temporary folder (and removes with the clip when it ends).
inline constexpr const char* kHardwareTestClipName = "qel_hw_test.mp4";

// Returns the cached answer when an earlier probe completed, starting nothing.
// Otherwise makes the test clip with libx264 in a private folder inside
// `tempFolder` (mkdtemp, removed afterwards) and tries the four
// vendor encoders on it; blocks for several seconds and up to six child
// processes. When the clip cannot be made (missing ffmpeg, unwritable folder,
// failing libx264) the cached value (all 0 at first) is returned and the next
// call probes again; a failing vendor test leaves only its own byte 0. The
// children run through `calls` when given: once that group is cancelled the
// probe returns the cached value at once and leaves the next call to probe
// again, since the tests it ended tell nothing about the encoders.
HardwareSupport probeHardwareEncoders(const std::string& ffmpegPath, const std::string& tempFolder,
                                      ChildGroup* calls = nullptr);

// The system's temporary folder as narrow text (TMPDIR, else /tmp), the folder
// "gethwaccel" hands to the probe; empty when the system names none.
std::string systemTempFolder();

// Runs a command text (split into argv with the Windows C-runtime rules and
// started without a shell; stdin and stderr on /dev/null) and collects its
// standard output into `output`, which is emptied first. True exactly when the
// program started and exited with status 0. A child that hangs is killed after
// a generous bound so that one broken driver cannot block the caller forever.
// With a group the child runs through it (see ChildGroup).
bool runCommandCapture(const std::string& command, std::string& output, ChildGroup* calls = nullptr);

// Test support only: forgets the cached answer so the next probe runs again.
// Waits for a probe in progress. Never called by the library itself.
void resetHardwareProbeForTesting();

}  // namespace qel
