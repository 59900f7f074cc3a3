// Packaged applications: which process belongs to which package (set by tests
// from real process ids), and where a package is installed. The package's
// manifest ("AppXManifest.xml" in its installed location) is an ordinary file
// the caller reads.
//
// Thread safety: all functions may be called from any thread.
#pragma once

#include <cstdint>
#include <string>

namespace platform::apps {

// Declares `pid` a process of the package `fullName` installed in `location`,
// with the given application user model id.
void SetProcessPackage(uint32_t pid, const std::string& fullName, const std::string& location,
                       const std::string& applicationUserModelId);
void ClearPackages();

// The package of a process; false when it is not packaged.
bool GetPackageFullName(uint32_t pid, std::string& fullName);
bool GetApplicationUserModelId(uint32_t pid, std::string& id);
// The installed location of a package; false for an unknown one.
bool GetPackageInstalledLocation(const std::string& fullName, std::string& location);

}  // namespace platform::apps
