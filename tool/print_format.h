// Internal: printf-style formatting with the meaning the library's interface
// gives its formats, independent of glibc's locale and conventions:
//  - in a narrow format %s and %hs take narrow text, %S, %ls and %ws wide text;
//    in a wide format %s, %ls and %ws take wide text, %S and %hs narrow text
//    (%c and %C likewise for single characters);
//  - narrow text is UTF-8 and wide text UTF-32 (surrogate pairs allowed); each is
//    converted by the library's own converter, so non-ASCII text never makes a
//    print fail whatever the locale;
//  - %p prints the address as 16 upper-case hexadecimal digits without "0x", so
//    a format "0x%p" reads 0x00007F...;
//  - %n is consumed and writes nothing; I64, I32 and I length prefixes work.
// Numbers keep the C library's conversions (in the "C" locale).
//
// Thread safety: stateless, callable from any thread.
#pragma once

#include <cstdarg>
#include <cstddef>

namespace tool::text_internal {

// Prints into `out`, which has room for `capacity` + 1 characters: at most
// `capacity` characters are kept and a terminating zero follows them. A longer
// result is cut where the room ends: narrow text (the format's own bytes and
// %s arguments of a narrow format) byte by byte, so a UTF-8 sequence may be
// split there, as the logger's line limit asks; text converted from wide to
// UTF-8 only between whole characters. Returns the count kept.
std::size_t FormatBounded(char* out, std::size_t capacity, const char* format, va_list args);
std::size_t FormatBounded(wchar_t* out, std::size_t capacity, const wchar_t* format, va_list args);

}  // namespace tool::text_internal
