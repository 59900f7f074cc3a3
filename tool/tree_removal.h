// Internal: removing a folder tree through open descriptors, so that it never
// leaves the tree it was given.
//
// Each folder is opened relative to the folder above it (openat with
// O_DIRECTORY | O_NOFOLLOW), looked at with fstatat(AT_SYMLINK_NOFOLLOW) and
// emptied with unlinkat relative to its own descriptor; no path is resolved
// again once the walk has started. A folder swapped for a link while the walk
// runs is refused by the open, and one moved away takes only its own entries
// with it: nothing outside the tree is ever unlinked, whatever changes meanwhile.
//
// Links inside the tree are neither followed nor deleted (logged). A folder on
// another file system, or the root of a mount (a bind mount of a folder of the
// same file system included), is neither walked nor removed (logged): like a
// folder that can't be emptied, it makes the removal of the folders above it
// fail. The whole tree is first walked to refuse it when it holds a protected
// folder, before anything is deleted; while deleting, every folder is tested
// again before it is emptied and removed. Inside the tree a protected folder is
// known by device and inode, never by resolving its path, so every entry costs
// the same few system calls whatever its depth: the removal is linear in the
// number of entries.
//
// A folder of the tree holds one descriptor while the folders below it are
// handled, so a tree nested deeper than the process may open descriptors
// fails (logged) part way.
//
// Thread safety: no shared state; any thread may remove any tree.
#pragma once

#include <string>

#include "tool/protected_paths.h"

namespace tool::filesystem_internal {

// Removes the folder `local` (native, absolute and normalised; a link there is
// the caller's business) and, when `recursive`, everything below it; without
// recursion its files and those of its folders that are empty. False, with the
// layer's log lines, when anything could not be removed or a protected folder
// stands in the tree.
bool RemoveTree(const std::string& local, bool recursive, const ProtectedPaths& protected_paths);

}  // namespace tool::filesystem_internal
