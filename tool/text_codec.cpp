#include "tool/text_codec.h"

namespace tool::text_internal {

namespace {

bool IsContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

}  // namespace

char32_t DecodeUtf8(const char*& p, const char* end) {
  const auto* s = reinterpret_cast<const unsigned char*>(p);
  const auto* e = reinterpret_cast<const unsigned char*>(end);
  unsigned char c = s[0];
  if (c < 0x80) {
    p += 1;
    return c;
  }
  // Length and the allowed range of the second byte (Unicode table 3-7), so
  // overlong forms and surrogates are rejected as early as possible.
  int length = 0;
  unsigned char low = 0x80, high = 0xBF;
  char32_t cp = 0;
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2;
    cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3;
    cp = c & 0x0F;
    if (c == 0xE0) low = 0xA0;
    if (c == 0xED) high = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4;
    cp = c & 0x07;
    if (c == 0xF0) low = 0x90;
    if (c == 0xF4) high = 0x8F;
  } else {
    p += 1;
    return kReplacement;
  }
  const unsigned char* q = s + 1;
  for (int i = 1; i < length; ++i, ++q) {
    if (q >= e) {
      p = reinterpret_cast<const char*>(q);
      return kReplacement;
    }
    unsigned char b = *q;
    bool ok = (i == 1) ? (b >= low && b <= high) : IsContinuation(b);
    if (!ok) {
      p = reinterpret_cast<const char*>(q);
      return kReplacement;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  p = reinterpret_cast<const char*>(q);
  return cp;
}

char32_t DecodeWide(const wchar_t*& p, const wchar_t* end) {
  auto unit = static_cast<char32_t>(*p++);
  if (unit >= 0xD800 && unit <= 0xDBFF) {
    if (p < end) {
      auto next = static_cast<char32_t>(*p);
      if (next >= 0xDC00 && next <= 0xDFFF) {
        ++p;
        return 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00);
      }
    }
    return kReplacement;
  }
  if ((unit >= 0xDC00 && unit <= 0xDFFF) || unit > 0x10FFFF) return kReplacement;
  return unit;
}

std::size_t EncodeUtf8(char32_t cp, char out[4]) {
  if (cp < 0x80) {
    out[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<char>(0xC0 | (cp >> 6));
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (cp >> 12));
    out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (cp >> 18));
  out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}

std::string WideToUtf8(const wchar_t* p, std::size_t n) {
  std::string out;
  out.reserve(n);
  const wchar_t* end = p + n;
  char bytes[4];
  while (p < end) out.append(bytes, EncodeUtf8(DecodeWide(p, end), bytes));
  return out;
}

std::wstring Utf8ToWide(const char* p, std::size_t n) {
  std::wstring out;
  out.reserve(n);
  const char* end = p + n;
  while (p < end) out.push_back(static_cast<wchar_t>(DecodeUtf8(p, end)));
  return out;
}

}  // namespace tool::text_internal
