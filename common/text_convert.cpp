#include "common/text_convert.h"

#include <cstring>
#include <type_traits>

namespace qel {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes UTF-8 strictly (no overlongs, no surrogates, nothing past U+10FFFF).
// Each maximal subpart of an ill-formed sequence becomes one U+FFFD, the way
// current Windows and every browser decode, so results match across platforms.
std::wstring decodeUtf8(std::string_view in) {
  std::wstring out;
  out.reserve(in.size());
  const auto* p = reinterpret_cast<const unsigned char*>(in.data());
  const size_t n = in.size();
  size_t i = 0;
  while (i < n) {
    const unsigned char b0 = p[i];
    if (b0 < 0x80) {
      out.push_back(static_cast<wchar_t>(b0));
      ++i;
      continue;
    }
    int need = 0;
    char32_t cp = 0;
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      need = 1;
      cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      need = 2;
      cp = b0 & 0x0F;
      if (b0 == 0xE0) lo = 0xA0;  // overlong
      if (b0 == 0xED) hi = 0x9F;  // surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      need = 3;
      cp = b0 & 0x07;
      if (b0 == 0xF0) lo = 0x90;  // overlong
      if (b0 == 0xF4) hi = 0x8F;  // past U+10FFFF
    } else {
      out.push_back(static_cast<wchar_t>(kReplacement));
      ++i;
      continue;
    }
    size_t j = i + 1;
    bool ok = true;
    for (int k = 0; k < need; ++k, ++j) {
      if (j >= n) {
        ok = false;
        break;
      }
      const unsigned char b = p[j];
      const unsigned char min = (k == 0) ? lo : 0x80;
      const unsigned char max = (k == 0) ? hi : 0xBF;
      if (b < min || b > max) {
        ok = false;
        break;
      }
      cp = (cp << 6) | (b & 0x3F);
    }
    if (!ok) {
      // The bytes consumed so far form the maximal ill-formed subpart; the byte
      // that broke the sequence starts over.
      out.push_back(static_cast<wchar_t>(kReplacement));
      i = j;
      continue;
    }
    out.push_back(static_cast<wchar_t>(cp));
    i = j;
  }
  return out;
}

void appendUtf8(std::string& out, char32_t cp) {
  if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = kReplacement;
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace

std::wstring utf8ToWide(const char* text) {
  if (text == nullptr) return {};
  return decodeUtf8(std::string_view(text, std::strlen(text)));
}

std::wstring utf8ToWide(const std::string& text) { return utf8ToWide(text.c_str()); }

// The active code page is UTF-8 on this platform.
std::wstring ansiToWide(const char* text) { return utf8ToWide(text); }

std::wstring ansiToWide(const std::string& text) { return utf8ToWide(text.c_str()); }

std::string utf8ToAnsi(const char* text) { return wideToUtf8(utf8ToWide(text)); }

std::string utf8ToAnsi(const std::string& text) { return utf8ToAnsi(text.c_str()); }

std::string wideToUtf8(const wchar_t* text) {
  if (text == nullptr) return {};
  return wideToUtf8(std::wstring_view(text));
}

std::string wideToUtf8(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  for (wchar_t c : text) {
    if (c == L'\0') break;
    // wchar_t is signed here; a negative value is not a code point at all.
    const auto cp = static_cast<char32_t>(static_cast<std::make_unsigned_t<wchar_t>>(c));
    appendUtf8(out, cp);
  }
  return out;
}

std::string toValidUtf8(std::string_view text) {
  const std::wstring wide = decodeUtf8(text);
  std::string out;
  out.reserve(text.size());
  for (wchar_t c : wide) appendUtf8(out, static_cast<char32_t>(c));
  return out;
}

}  // namespace qel
