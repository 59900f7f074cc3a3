// Copying one file or a whole folder tree, in 1 MiB chunks, with progress
// reports to a callback that may stop the copy.
//
// Thread safety: no state is kept; callbacks run on the caller's thread
// between two chunks and may call back into the library.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "tool/export.h"

namespace tool {

// (bytes copied, file size, ratio) -> false stops the copy.
using CopyFileProgress = std::function<bool(uint64_t, uint64_t, float)>;
// (source file, its bytes copied, its size, total copied, total size, ratio,
//  file number from 1, file count) -> false stops the whole copy.
using CopyDirectoryProgress =
    std::function<bool(const std::string&, uint64_t, uint64_t, uint64_t, uint64_t, float, uint64_t, uint64_t)>;

// Copies a regular file (a link is refused). The destination's folders are
// made; a source that does not fit the destination's free space, or that is the
// destination itself, is refused before anything is written. At most one report
// per whole percent; an empty callback means no reports. True when all of the
// source was read and written.
TOOL_API bool CopyFileW(const std::string& source, const std::string& destination, CopyFileProgress callback);

// Copies every file below `source` (links, ".DS_Store" and names holding "\"
// left out, as the walk leaves them out) and recreates its folders, empty ones
// included. A failed file does not stop the copy; a callback answering false
// does. True when every file was copied and
// the copied sizes add up. A folder copied onto itself is refused.
TOOL_API bool CopyDirectory(const std::string& source, const std::string& destination, CopyDirectoryProgress callback);

}  // namespace tool
