// Encodings and identifiers: Base64, MD5 in hexadecimal, GUID and UUID texts
// (random version-4 identifiers), random alphanumeric names, byte counts in
// units, hexadecimal dumps. Each returns a new value; a failure gives an empty
// result and nothing is logged.
//
// Thread safety: stateless, callable from any thread.
#pragma once

#include <cstdint>
#include <string>

#include "tool/export.h"

namespace tool {

TOOL_API std::string Base64Encode(const std::string& data);
// The bytes `text` encodes; empty when its length is not a multiple of 4 or it
// holds a character outside the alphabet other than "=".
TOOL_API std::string Base64Decode(const std::string& text);
// The first `length` (at most 32) lower-case hexadecimal digits of the MD5
// digest of all bytes of `text`; empty for a length of 0 or less.
TOOL_API std::string MD5Hash(const std::string& text, int length);
// A new random identifier, 36 lower-case characters; empty when the system's
// random source fails.
TOOL_API std::string GenerateGuidString();
// A new random identifier in its standard 36-character form, upper-case when asked.
TOOL_API std::string Uuid(bool upper);
// `length` characters of [A-Za-z0-9] from a generator seeded with the current
// second: two calls within one second give the same name.
TOOL_API std::string GetRandomName(int length);
// `bytes` in a unit of bytes, KB, MB, GB or TB (steps of 1024): the unit goes
// up while the count in it is above 1024. The unit's name is copied into `unit`
// when it fits in `unit_size` bytes with its terminator (and the unit exists).
TOOL_API double ConvertBytesUnit(uint64_t bytes, char* const unit, int unit_size);
// Two lower-case hexadecimal digits per byte, a blank after every fourth byte.
TOOL_API std::string Data2HexString(const uint8_t* data, int length);

}  // namespace tool
