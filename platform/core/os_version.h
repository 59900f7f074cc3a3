// The operating-system version the recorder asks for (through the run-time
// lookup of "RtlGetVersion" in "ntdll.dll", see modules.h) to decide which
// features it may use. This platform always answers with a build new enough for
// every feature; tests set an older one to exercise the fallbacks.
//
// Thread safety: all functions may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// The version record in its designed 284-byte layout.
struct OsVersionInfoEx {
  uint32_t size;  // the caller sets 284
  uint32_t majorVersion;
  uint32_t minorVersion;
  uint32_t buildNumber;
  uint32_t platformId;
  char16_t servicePack[128];
  uint16_t servicePackMajor;
  uint16_t servicePackMinor;
  uint16_t suiteMask;
  uint8_t productType;
  uint8_t reserved;
};
static_assert(sizeof(OsVersionInfoEx) == 284);
static_assert(offsetof(OsVersionInfoEx, servicePackMajor) == 276);

struct OsVersion {
  uint32_t major;
  uint32_t minor;
  uint32_t build;
};

// What this platform reports unless a test set something else.
inline constexpr OsVersion kDefaultOsVersion{10, 0, 22631};

OsVersion CurrentOsVersion();
void SetOsVersion(const OsVersion& version);  // tests
void ResetOsVersion();                        // back to kDefaultOsVersion

// True when the reported version is at least major.minor.
bool IsOsVersionAtLeast(uint32_t major, uint32_t minor);

// The "RtlGetVersion" entry: fills the record (whose size field must be 284 or
// the 276 of the short form) and returns 0; a null record or another size
// returns a failure status (0xC000000D, invalid parameter).
int32_t RtlGetVersion(OsVersionInfoEx* info);

}  // namespace platform
