// UTF-16 fields of the recorder's fixed records and settings (char16_t arrays)
// and the wide text (std::wstring, UTF-32 here) the rest of the code uses.
//
// Thread safety: pure functions.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qelrec {

// Units before the terminator, at most `capacity`.
size_t U16Length(const char16_t* text, size_t capacity);

// Decodes UTF-16 (a lone surrogate becomes U+FFFD), stopping at a terminator or
// after `capacity` units.
std::wstring U16ToWide(const char16_t* text, size_t capacity);
template <size_t N>
std::wstring U16ToWide(const char16_t (&field)[N]) {
  return U16ToWide(field, N);
}

// Encodes `text` with its terminator into `dest` of `capacity` units, rest of the
// field zero. When it does not fit (or is cut by an embedded NUL), nothing is
// cut: `dest` becomes empty and the result is false.
bool WideToU16(std::wstring_view text, char16_t* dest, size_t capacity);
template <size_t N>
bool WideToU16(std::wstring_view text, char16_t (&field)[N]) {
  return WideToU16(text, field, N);
}

// Number of UTF-16 units `text` needs (without terminator).
size_t U16UnitsOf(std::wstring_view text);

}  // namespace qelrec
