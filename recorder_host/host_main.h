// QelRecorder's whole run: echo the options, make the record viewer window,
// load the recorder library, hand it the options, run its dialog and report.
//
// Thread safety: runs on the program's main thread, once.
#pragma once

#include <string>
#include <vector>

namespace qelhost {

// E_FAIL: the library or one of its exports is missing.
inline constexpr int kHostFailed = static_cast<int>(0x80004005u);
// No option given.
inline constexpr int kNoArguments = -1;
// An option value that cannot be passed on as it stands (RefusedValueLine).
inline constexpr int kRefusedOption = -1;

// `args` holds the program path first, as the command line gives it. Returns
// the exit code: LaunchRecorder's result, kNoArguments, kRefusedOption or
// kHostFailed.
int RunHost(const std::vector<std::wstring>& args);

// The line printed for LaunchRecorder's result.
const char* LaunchResultLine(int result);

}  // namespace qelhost
