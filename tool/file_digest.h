// Digests of files, read in chunks: memory stays at one chunk whatever the
// file's size.
//
// Thread safety: stateless, callable from any thread.
#pragma once

#include <string>

#include "tool/export.h"

namespace tool {

// The first `length` (at most 32) lower-case hexadecimal digits of the MD5
// digest of the file's bytes, the same text MD5Hash gives for its content.
// Empty for a length of 0 or less, and, logged, when the file cannot be
// opened (a folder, a FIFO or a device included) or a read fails.
TOOL_API std::string MD5HashFile(const std::string& path, int length);

}  // namespace tool
