// File and folder functions: questions about one file, its last write time,
// its content, folder creation, deleting and renaming, the application-data
// folder, the folder of the calling module, the mount with the most free space,
// and the library's unset double. They go through the file-system layer, so
// paths are UTF-8, "\" or "/" separated, and must be absolute.
//
// Thread safety: stateless, callable from any thread.
#pragma once

#include <cstdint>
#include <string>

#include "tool/export.h"

namespace tool {

TOOL_API bool IsPathExist(const std::string& path, bool* is_directory);
// Size in bytes (0 for a folder); 0 when it cannot be read, logged when asked.
TOOL_API uint64_t GetFileSize(const std::string& path, bool log_failure);
// Whole seconds since 1970 UTC; the unset double when unknown.
TOOL_API double GetFileModifiedTime(const std::string& path);
// Sets the last write time of an existing file (not a folder); non-finite
// seconds and times before 1601 or past the 64-bit file-time range are refused.
TOOL_API bool SetFileModifiedTime(const std::string& path, double seconds);
// The bytes of a file; empty for a missing, empty or 2 GiB-or-larger file.
TOOL_API std::string GetFileContent(const std::string& path);
TOOL_API bool CreateDirectoryIfNeed(const std::string& dir_path, bool is_createIntermediate_directories);
TOOL_API bool RemoveFile(const std::string& path);
// Renames `source` onto `target`, replacing an existing target file in one
// atomic step; a failed rename leaves both as they were.
TOOL_API bool RenameFile(const std::string& source, const std::string& target);
// $XDG_CONFIG_HOME or ~/.config, with "/" appended; created when missing.
TOOL_API std::string GetAppDataPath();
// The folder of the program or library that calls it, without a closing "/".
TOOL_API std::string GetDllModulePath();
// The mount point of the local disk file system with the most free bytes.
TOOL_API std::string GetMostFreeSpaceDisk();
TOOL_API bool GetPathDriveFreeSpace(const std::string& path, uint64_t& free_bytes);
// The unset double: the quiet NaN 0x7FF8000000000001. Every NaN counts as unset.
TOOL_API double DefaultDoubleNANValue();
TOOL_API bool IsDefaultDoubleNANValue(const double& value);

}  // namespace tool
