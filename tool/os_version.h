// Internal: the Windows version rules of the library over a replaceable source
// of version facts, so the rules can be exercised with any version.
#pragma once

#include <optional>
#include <string>

namespace tool::system_internal {

struct OsVersion {
  unsigned major = 0;
  unsigned minor = 0;
  unsigned service_pack_major = 0;
  unsigned build = 0;
};

class VersionProvider {
 public:
  virtual ~VersionProvider() = default;
  // The real version, or nothing when the system cannot tell.
  virtual std::optional<OsVersion> Version() const = 0;
  // Whether the product type is a workstation (not a server).
  virtual bool IsWorkstation() const = 0;
};

// This system's source: no Windows version exists, and a desktop machine is
// no server, so it answers "workstation".
const VersionProvider& SystemVersionProvider();

bool VersionAtLeast(const VersionProvider& provider, unsigned major, unsigned minor, unsigned service_pack_major);
std::string OsVersionName(const VersionProvider& provider);
std::string BuildNumber(const VersionProvider& provider);

// The library's name of a uname machine text.
std::string ArchitectureName(const std::string& machine);

}  // namespace tool::system_internal
