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
// `capacity` characters are kept (a longer result is cut; a UTF-8 sequence is
// never split) and a terminating zero follows them. Returns the count kept.
std::size_t FormatBounded(char* out, std::size_t capacity, const char* format, va_list args);
std::size_t FormatBounded(wchar_t* out, std::size_t capacity, const wchar_t* format, va_list args);

}  // namespace tool::text_internal
