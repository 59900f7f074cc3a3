// Internal: the UTF-8 <-> wide-text converter the whole library stands on.
// Wide text is std::wstring, UTF-32 on this platform; a UTF-16 surrogate pair
// found inside a wide text is taken as the one code point it encodes, so text
// that came from a UTF-16 source converts as expected. Ill-formed input (bad
// UTF-8 sequences, lone surrogates, values beyond U+10FFFF) becomes U+FFFD; no
// conversion fails or reads past its input.
//
// Thread safety: stateless, callable from any thread.
#pragma once

#include <cstddef>
#include <string>

namespace tool::text_internal {

inline constexpr char32_t kReplacement = 0xFFFD;

// Decodes one code point of UTF-8 at `p` (p < end) and advances `p`. An
// ill-formed sequence yields kReplacement and consumes its maximal prefix
// (at least one byte).
char32_t DecodeUtf8(const char*& p, const char* end);

// Decodes one code point of wide text at `p` (p < end) and advances `p`.
char32_t DecodeWide(const wchar_t*& p, const wchar_t* end);

// Writes the UTF-8 form of `cp` (1 to 4 bytes) into `out` and returns its length.
std::size_t EncodeUtf8(char32_t cp, char out[4]);

// Whole-text conversions of [p, p + n); embedded zeros are converted like any
// other character (the callers cut at the first zero where that is wanted).
std::string WideToUtf8(const wchar_t* p, std::size_t n);
std::wstring Utf8ToWide(const char* p, std::size_t n);

}  // namespace tool::text_internal
