#include "tool/system_info.h"

#include <sys/utsname.h>

#include <cstdio>
#include <cstdlib>

#include "tool/file_system.h"
#include "tool/file_util.h"
#include "tool/os_version.h"
#include "tool/pe_image.h"

namespace tool {

namespace system_internal {

namespace {

class LinuxVersionProvider : public VersionProvider {
 public:
  std::optional<OsVersion> Version() const override { return std::nullopt; }
  bool IsWorkstation() const override { return true; }
};

}  // namespace

const VersionProvider& SystemVersionProvider() {
  static const LinuxVersionProvider provider;
  return provider;
}

bool VersionAtLeast(const VersionProvider& provider, unsigned major, unsigned minor, unsigned service_pack_major) {
  std::optional<OsVersion> version = provider.Version();
  if (!version) return false;
  if (version->major != major) return version->major > major;
  if (version->minor != minor) return version->minor > minor;
  return version->service_pack_major >= service_pack_major;
}

std::string OsVersionName(const VersionProvider& provider) {
  struct Row {
    const char* name;
    unsigned major, minor, service_pack;
  };
  static const Row kRows[] = {
      {"Windows 10", 10, 0, 0},       {"Windows 8.1", 6, 3, 0},    {"Windows 8", 6, 2, 0},
      {"Windows 7 SP1", 6, 1, 1},     {"Windows 7", 6, 1, 0},      {"Windows Vista SP2", 6, 0, 2},
      {"Windows Vista SP1", 6, 0, 1}, {"Windows Vista", 6, 0, 0},  {"Windows XP SP3", 5, 1, 3},
      {"Windows XP SP2", 5, 1, 2},    {"Windows XP SP1", 5, 1, 1}, {"Windows XP", 5, 1, 0},
  };
  for (const Row& row : kRows) {
    if (VersionAtLeast(provider, row.major, row.minor, row.service_pack)) return row.name;
  }
  return provider.IsWorkstation() ? "Unknown Windows Version" : "Windows Server";
}

std::string BuildNumber(const VersionProvider& provider) {
  std::optional<OsVersion> version = provider.Version();
  return version ? std::to_string(version->build) : std::string();
}

std::string ArchitectureName(const std::string& machine) {
  if (machine == "x86_64" || machine == "amd64") return "x64";
  if (machine == "i386" || machine == "i486" || machine == "i586" || machine == "i686") return "x86";
  if (machine == "ia64") return "Intel Itanium-based";
  if (machine.rfind("arm", 0) == 0) return "arm";  // 32-bit ARM; aarch64 is "unknown", as ARM64 is
  return "unknown";
}

}  // namespace system_internal

namespace {

std::optional<uint64_t> FileVersion(const std::string& file_path) {
  filesystem_internal::FileSystem* fs = filesystem_internal::FileSystem::Instance();
  char* buffer = nullptr;
  uint64_t size = 0;
  if (!fs || !fs->ReadWholeFile(file_path.c_str(), &buffer, &size) || !buffer) {
    std::free(buffer);
    return std::nullopt;
  }
  std::optional<uint64_t> version = system_internal::PeFileVersion(std::string_view(buffer, size));
  std::free(buffer);
  return version;
}

}  // namespace

std::string GetOSVersion() { return system_internal::OsVersionName(system_internal::SystemVersionProvider()); }

bool IsWindows10OrGreater() {
  return system_internal::VersionAtLeast(system_internal::SystemVersionProvider(), 10, 0, 0);
}

bool IsWindows8Point1OrGreater() {
  return system_internal::VersionAtLeast(system_internal::SystemVersionProvider(), 6, 3, 0);
}

bool IsWindows8OrGreater() {
  return system_internal::VersionAtLeast(system_internal::SystemVersionProvider(), 6, 2, 0);
}

std::string GetProcessArchitecture() {
  utsname names{};
  if (uname(&names) != 0) return "unknown";
  return system_internal::ArchitectureName(names.machine);
}

std::string GetWin10BuildVersion() { return system_internal::BuildNumber(system_internal::SystemVersionProvider()); }

std::string GetWin10ReleaseId() { return std::string(); }  // no registry holds one here

bool IsWow64() { return false; }  // a 64-bit build runs natively

uint64_t GetWindowsFileVersionInfoReturnUint64(const std::string& file_path) {
  return FileVersion(file_path).value_or(0);
}

std::string GetWindowsFileVersionInfoReutrnString(const std::string& file_path) {
  std::optional<uint64_t> version = FileVersion(file_path);
  if (!version) return "Unknown";
  char text[64];
  auto most = static_cast<uint32_t>(*version >> 32);
  auto least = static_cast<uint32_t>(*version);
  std::snprintf(text, sizeof text, "%d.%d.%d.%d", static_cast<int>(most >> 16), static_cast<int>(most & 0xFFFF),
                static_cast<int>(least >> 16), static_cast<int>(least & 0xFFFF));
  return text;
}

bool UnmanagedDllIs64Bit(const std::string& file_path) {
  uint16_t machine = system_internal::PeMachineType(GetFileContent(file_path));
  return machine == 0x8664 || machine == 0x200;
}

}  // namespace tool
