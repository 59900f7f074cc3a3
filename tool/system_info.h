// What the library can tell about the machine and its files. On this system
// the Windows version queries have no answer: the version tests are false, the
// version name is "Unknown Windows Version", the build number and release id
// are empty and IsWow64 is false. The processor architecture comes from uname;
// file versions and machine types are read from PE files (a file format, so
// they work on any system).
//
// Thread safety: stateless, callable from any thread.
#pragma once

#include <cstdint>
#include <string>

#include "tool/export.h"

namespace tool {

TOOL_API std::string GetOSVersion();
TOOL_API bool IsWindows10OrGreater();
TOOL_API bool IsWindows8Point1OrGreater();
TOOL_API bool IsWindows8OrGreater();
// "x64", "x86", "arm", "Intel Itanium-based" or "unknown" (64-bit ARM included).
TOOL_API std::string GetProcessArchitecture();
TOOL_API std::string GetWin10BuildVersion();
TOOL_API std::string GetWin10ReleaseId();
TOOL_API bool IsWow64();
// The fixed file version of a PE file's version resource: the most significant
// word in the upper 32 bits; 0 when there is none.
TOOL_API uint64_t GetWindowsFileVersionInfoReturnUint64(const std::string& file_path);
// The same as "a.b.c.d", or "Unknown".
TOOL_API std::string GetWindowsFileVersionInfoReutrnString(const std::string& file_path);
// Whether a PE file is built for x64 (0x8664) or Itanium (0x200).
TOOL_API bool UnmanagedDllIs64Bit(const std::string& file_path);

}  // namespace tool
