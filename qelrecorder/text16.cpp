#include "qelrecorder/text16.h"

#include <cstring>

namespace qelrec {

size_t U16Length(const char16_t* text, size_t capacity) {
  size_t n = 0;
  if (text == nullptr) return 0;
  while (n < capacity && text[n] != 0) ++n;
  return n;
}

std::wstring U16ToWide(const char16_t* text, size_t capacity) {
  std::wstring out;
  const size_t n = U16Length(text, capacity);
  for (size_t i = 0; i < n; ++i) {
    const char32_t unit = text[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < n && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      out.push_back(static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00)));
      ++i;
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      out.push_back(L'\xFFFD');
    } else {
      out.push_back(static_cast<wchar_t>(unit));
    }
  }
  return out;
}

size_t U16UnitsOf(std::wstring_view text) {
  size_t units = 0;
  for (wchar_t c : text) units += (static_cast<char32_t>(c) > 0xFFFF && static_cast<char32_t>(c) <= 0x10FFFF) ? 2 : 1;
  return units;
}

bool WideToU16(std::wstring_view text, char16_t* dest, size_t capacity) {
  if (dest == nullptr || capacity == 0) return false;
  std::memset(dest, 0, capacity * sizeof(char16_t));
  if (text.find(L'\0') != std::wstring_view::npos || U16UnitsOf(text) + 1 > capacity) return false;
  size_t at = 0;
  for (wchar_t c : text) {
    const auto cp = static_cast<char32_t>(c);
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      dest[at++] = u'\xFFFD';
    } else if (cp > 0xFFFF) {
      dest[at++] = static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
      dest[at++] = static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      dest[at++] = static_cast<char16_t>(cp);
    }
  }
  return true;
}

}  // namespace qelrec
