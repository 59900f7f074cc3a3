// Internal: the folders a removal never deletes: the root and the system's
// top-level folders, /usr with everything below it, the user's home, its
// configuration and data folders and the XDG user folders (Desktop, Documents,
// ...). Paths are compared after lexical normalisation and again after
// resolving links, so "/usr/./", "/x/../usr" or a link into /usr are caught.
//
// Thread safety: a ProtectedPaths is read-only once built; ProcessProtectedPaths
// builds the process's set once, on first use, from the environment of then.
#pragma once

#include <set>
#include <string>

namespace tool::filesystem_internal {

struct ProtectedPaths {
  std::set<std::string> exact;     // these folders themselves
  std::set<std::string> subtrees;  // these folders and everything below them
};

// The set for a user whose home is `home` ("" when unknown), with the values
// of XDG_CONFIG_HOME and XDG_DATA_HOME ("" when unset); the XDG user folders
// come from the defaults and from `home`/.config/user-dirs.dirs.
ProtectedPaths BuildProtectedPaths(const std::string& home, const std::string& xdg_config_home,
                                   const std::string& xdg_data_home);

// The user's home folder: HOME when absolute, else the passwd entry; "" when
// neither gives an absolute folder.
std::string HomeOfProcess();

// The set of this process, built from HOME and the XDG variables at first use.
const ProtectedPaths& ProcessProtectedPaths();

// Absolute, "." and ".." resolved, repeated and closing "/" dropped ("/" stays).
std::string NormalisePath(const std::string& path);

// Whether `path` (native) names a protected folder, as written or as resolved.
bool IsProtectedPath(const ProtectedPaths& set, const std::string& path);

}  // namespace tool::filesystem_internal
