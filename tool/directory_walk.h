// Walking a folder tree and removing one.
//
// Thread safety: no state is kept; callbacks run on the caller's thread,
// inside the call.
#pragma once

#include <functional>
#include <string>

#include "tool/export.h"

namespace tool {

// Calls `callback` (path, is_directory) for every entry below `directory`,
// depth first, each folder before what it holds; "." and "..", ".DS_Store",
// symbolic links and names holding "\" (which would be split there when a
// reported path is read back) are left out, the last two logged. Each folder's listing is finished and
// closed before its first entry is reported, so the callback may change the
// tree. Returns false when the callback answered false (the walk stops there)
// or is empty (logged; nothing is walked); true otherwise, a missing folder
// included.
TOOL_API bool RecursiveInDirectory(const std::string& directory, std::function<bool(const std::string&, bool)> callback,
                                   bool recursive);

// Removes `dir_path` and, when `recursive`, everything below it. The root, the
// system's folders, the user's home and its XDG folders, and any tree holding
// one of them are refused (logged) before anything is deleted. A symbolic link
// is removed as a link. Inside the tree nothing is followed: links, folders on
// another file system and mount roots are neither walked nor deleted (logged),
// and the removal then fails as for a folder that can't be emptied; a folder
// swapped for a link meanwhile can't lead it outside the tree.
TOOL_API bool RemoveDirectoryW(const std::string& dir_path, bool recursive);

}  // namespace tool
