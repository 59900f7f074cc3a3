#include "platform/core/os_version.h"

#include <cstring>
#include <mutex>

namespace platform {

namespace {

std::mutex versionMutex;
OsVersion reported = kDefaultOsVersion;

}  // namespace

OsVersion CurrentOsVersion() {
  std::lock_guard<std::mutex> lock(versionMutex);
  return reported;
}

void SetOsVersion(const OsVersion& version) {
  std::lock_guard<std::mutex> lock(versionMutex);
  reported = version;
}

void ResetOsVersion() { SetOsVersion(kDefaultOsVersion); }

bool IsOsVersionAtLeast(uint32_t major, uint32_t minor) {
  const OsVersion v = CurrentOsVersion();
  return v.major > major || (v.major == major && v.minor >= minor);
}

int32_t RtlGetVersion(OsVersionInfoEx* info) {
  constexpr int32_t kInvalidParameter = static_cast<int32_t>(0xC000000Du);
  if (info == nullptr) return kInvalidParameter;
  const uint32_t size = info->size;
  if (size != sizeof(OsVersionInfoEx) && size != offsetof(OsVersionInfoEx, servicePackMajor)) {
    return kInvalidParameter;
  }
  const OsVersion v = CurrentOsVersion();
  std::memset(static_cast<void*>(info), 0, size);
  info->size = size;
  info->majorVersion = v.major;
  info->minorVersion = v.minor;
  info->buildNumber = v.build;
  info->platformId = 2;
  return 0;
}

}  // namespace platform
