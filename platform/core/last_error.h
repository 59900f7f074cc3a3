// The calling thread's last error, as the platform calls leave it: a failing
// stand-in call sets it, the caller reads it right after.
//
// Thread safety: per thread by construction.
#pragma once

#include <cstdint>

namespace platform {

uint32_t GetLastError();
void SetLastError(uint32_t code);

// Error values the layers report (values as the calling code knows them).
inline constexpr uint32_t kErrorSuccess = 0;
inline constexpr uint32_t kErrorInvalidHandle = 6;
inline constexpr uint32_t kErrorNotEnoughMemory = 8;
inline constexpr uint32_t kErrorInvalidParameter = 87;
inline constexpr uint32_t kErrorInsufficientBuffer = 122;
inline constexpr uint32_t kErrorModNotFound = 126;
inline constexpr uint32_t kErrorProcNotFound = 127;
inline constexpr uint32_t kErrorAccessDenied = 5;

}  // namespace platform
