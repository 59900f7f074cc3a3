// Text conversions between UTF-8, the active "ANSI" code page and wide text.
// On this platform the active code page is UTF-8 and wide text is std::wstring
// (UTF-32), so the ANSI conversions are UTF-8 conversions. Every conversion
// replaces ill-formed input (bad UTF-8 sequences, surrogates, values past
// U+10FFFF) with U+FFFD, one per maximal ill-formed subsequence, and never reads
// past its input. A null text converts to an empty one; text stops at its first NUL.
//
// Thread safety: all functions are pure and reentrant.
#pragma once

#include <string>
#include <string_view>

namespace qel {

// UTF-8 text to wide text. Null gives an empty string.
std::wstring utf8ToWide(const char* text);
std::wstring utf8ToWide(const std::string& text);

// Text in the active code page (UTF-8 here) to wide text. Null gives an empty string.
std::wstring ansiToWide(const char* text);
std::wstring ansiToWide(const std::string& text);

// UTF-8 text to the active code page: a round trip through wide text, so the
// result is always well-formed UTF-8. Null gives an empty string.
std::string utf8ToAnsi(const char* text);
std::string utf8ToAnsi(const std::string& text);

// Wide text back to UTF-8. Values that are not Unicode scalar values become
// U+FFFD. Stops at the first NUL, like the other conversions.
std::string wideToUtf8(const wchar_t* text);
std::string wideToUtf8(std::wstring_view text);

// `text` as well-formed UTF-8: the same repair as the conversions above (one
// U+FFFD per maximal ill-formed subsequence), but every byte counts, embedded
// NULs included, so nothing after a NUL is lost.
std::string toValidUtf8(std::string_view text);

}  // namespace qel
