// The recorder library as the host loads it: libqelrecorder.so from the host
// program's own folder, opened with dlopen at run time, its exports found by
// name. The handle is process-wide because the record viewer's window procedure
// looks StopVideoRecorder up with it; the library is never unloaded.
//
// Thread safety: Load runs once on the main thread before any lookup; lookups
// may then come from any thread.
#pragma once

#include <string>

namespace qelhost {

inline constexpr const char* kRecorderLibraryName = "libqelrecorder.so";

// Codes reported when the library cannot be loaded, numbered as the front end
// knows them: the file or one of the libraries it needs is missing, a symbol it
// imports is missing, or it is no loadable library.
inline constexpr unsigned kErrorModNotFound = 126;
inline constexpr unsigned kErrorProcNotFound = 127;
inline constexpr unsigned kErrorBadExeFormat = 193;

// The running program's folder with a trailing '/' (empty when unreadable).
std::string ProgramFolder();

// Loads `path` (RTLD_NOW, so a broken library fails here, not in the middle of
// a recording). 0 on success, else one of the codes above; the loader's own
// explanation goes to standard error.
unsigned LoadRecorderLibrary(const std::string& path);
bool RecorderLibraryLoaded();
// The export `name`, null when missing or when no library is loaded.
void* FindRecorderExport(const char* name);

// Which code a failed dlopen of `path` stands for, from the loader's message.
unsigned LoadErrorCode(const std::string& path, const std::string& loaderMessage);

}  // namespace qelhost
