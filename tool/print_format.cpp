#include "tool/print_format.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

#include "tool/text_codec.h"

namespace tool::text_internal {

namespace {

template <class CharT>
class Sink {
 public:
  Sink(CharT* out, std::size_t capacity) : out_(out), capacity_(capacity) {}

  void Put(CharT c) {
    if (length_ < capacity_) out_[length_++] = c;
  }
  void PutAscii(const char* s, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) Put(static_cast<CharT>(static_cast<unsigned char>(s[i])));
  }
  void PutRepeated(CharT c, std::size_t n) {
    for (std::size_t i = 0; i < n && length_ < capacity_; ++i) Put(c);
  }
  void PutCodePoint(char32_t cp) {
    if constexpr (sizeof(CharT) == 1) {
      char bytes[4];
      std::size_t n = EncodeUtf8(cp, bytes);
      if (length_ + n > capacity_) {
        capacity_ = length_;  // cut here: later pieces must not follow a split
        return;
      }
      for (std::size_t i = 0; i < n; ++i) out_[length_++] = bytes[i];
    } else {
      Put(static_cast<CharT>(cp));
    }
  }
  std::size_t Finish() {
    out_[length_] = 0;
    return length_;
  }

 private:
  CharT* out_;
  std::size_t capacity_;
  std::size_t length_ = 0;
};

// Units that text of `n` source units takes in the output of type OutT.
template <class OutT>
std::size_t OutputLength(const char* s, std::size_t n) {
  if constexpr (sizeof(OutT) == 1) {
    return n;
  } else {
    std::size_t count = 0;
    for (const char* end = s + n; s < end; ++count) DecodeUtf8(s, end);
    return count;
  }
}
template <class OutT>
std::size_t OutputLength(const wchar_t* s, std::size_t n) {
  std::size_t count = 0;
  char bytes[4];
  for (const wchar_t* end = s + n; s < end;) {
    char32_t cp = DecodeWide(s, end);
    count += sizeof(OutT) == 1 ? EncodeUtf8(cp, bytes) : 1;
  }
  return count;
}

template <class OutT>
void PutText(Sink<OutT>& sink, const char* s, std::size_t n) {
  if constexpr (sizeof(OutT) == 1) {
    for (std::size_t i = 0; i < n; ++i) sink.Put(s[i]);
  } else {
    for (const char* end = s + n; s < end;) sink.PutCodePoint(DecodeUtf8(s, end));
  }
}
template <class OutT>
void PutText(Sink<OutT>& sink, const wchar_t* s, std::size_t n) {
  for (const wchar_t* end = s + n; s < end;) sink.PutCodePoint(DecodeWide(s, end));
}

std::size_t Length(const char* s, int precision) {
  return precision < 0 ? std::strlen(s) : strnlen(s, static_cast<std::size_t>(precision));
}
std::size_t Length(const wchar_t* s, int precision) {
  return precision < 0 ? std::wcslen(s) : wcsnlen(s, static_cast<std::size_t>(precision));
}

template <class OutT, class SrcT>
void PutField(Sink<OutT>& sink, const SrcT* s, int precision, int width, bool left) {
  static const SrcT kNull[] = {'(', 'n', 'u', 'l', 'l', ')', 0};
  if (s == nullptr) s = kNull;
  std::size_t n = Length(s, precision);
  std::size_t shown = OutputLength<OutT>(s, n);
  std::size_t pad = width > 0 && static_cast<std::size_t>(width) > shown ? width - shown : 0;
  if (!left) sink.PutRepeated(' ', pad);
  PutText(sink, s, n);
  if (left) sink.PutRepeated(' ', pad);
}

// Prints one number through the C library with a rebuilt narrow specification.
template <class OutT, class Value>
void PutNumber(Sink<OutT>& sink, const std::string& spec, Value value) {
  char small[128];
  int n = std::snprintf(small, sizeof small, spec.c_str(), value);
  if (n < 0) return;
  if (static_cast<std::size_t>(n) < sizeof small) {
    sink.PutAscii(small, static_cast<std::size_t>(n));
    return;
  }
  std::string big(static_cast<std::size_t>(n) + 1, '\0');
  std::snprintf(big.data(), big.size(), spec.c_str(), value);
  sink.PutAscii(big.data(), static_cast<std::size_t>(n));
}

enum class Size { kDefault, kChar, kShort, kLong, kLongLong, kIntMax, kSizeT, kPtrDiff, kLongDouble, kInt32 };

template <class CharT>
std::size_t Format(CharT* out, std::size_t capacity, const CharT* f, va_list args) {
  Sink<CharT> sink(out, capacity);
  constexpr bool kWideFormat = sizeof(CharT) != 1;
  while (*f) {
    if (*f != '%') {
      sink.Put(*f++);
      continue;
    }
    const CharT* start = f++;
    std::string flags;
    while (*f == '-' || *f == '+' || *f == ' ' || *f == '#' || *f == '0' || *f == '\'') {
      if (*f != '\'') flags.push_back(static_cast<char>(*f));
      ++f;
    }
    int width = -1;
    if (*f == '*') {
      width = va_arg(args, int);
      if (width < 0) {
        flags.push_back('-');
        width = width == INT32_MIN ? INT32_MAX : -width;
      }
      ++f;
    } else if (*f >= '0' && *f <= '9') {
      width = 0;
      while (*f >= '0' && *f <= '9') width = width < 100000 ? width * 10 + (*f++ - '0') : (f++, width);
    }
    int precision = -1;
    if (*f == '.') {
      ++f;
      precision = 0;
      if (*f == '*') {
        precision = va_arg(args, int);
        if (precision < 0) precision = -1;
        ++f;
      } else {
        while (*f >= '0' && *f <= '9')
          precision = precision < 100000 ? precision * 10 + (*f++ - '0') : (f++, precision);
      }
    }
    Size size = Size::kDefault;
    bool narrowText = false, wideText = false;
    if (*f == 'h') {
      ++f;
      size = Size::kShort;
      narrowText = true;
      if (*f == 'h') ++f, size = Size::kChar;
    } else if (*f == 'l') {
      ++f;
      size = Size::kLong;
      wideText = true;
      if (*f == 'l') ++f, size = Size::kLongLong;
    } else if (*f == 'w') {
      ++f;
      wideText = true;
    } else if (*f == 'q') {
      ++f, size = Size::kLongLong;
    } else if (*f == 'j') {
      ++f, size = Size::kIntMax;
    } else if (*f == 'z') {
      ++f, size = Size::kSizeT;
    } else if (*f == 't') {
      ++f, size = Size::kPtrDiff;
    } else if (*f == 'L') {
      ++f, size = Size::kLongDouble;
    } else if (*f == 'I') {
      ++f;
      if (f[0] == '6' && f[1] == '4') {
        f += 2, size = Size::kLongLong;
      } else if (f[0] == '3' && f[1] == '2') {
        f += 2, size = Size::kInt32;
      } else {
        size = Size::kSizeT;
      }
    }
    std::string spec = "%" + flags;
    if (width >= 0) spec += std::to_string(width);
    if (precision >= 0) spec += "." + std::to_string(precision);
    const bool left = flags.find('-') != std::string::npos;
    const CharT conv = *f;
    if (conv == 0) break;
    ++f;
    switch (conv) {
      case '%': sink.Put('%'); break;
      case 'd':
      case 'i': {
        long long v;
        switch (size) {
          case Size::kChar: v = static_cast<signed char>(va_arg(args, int)); break;
          case Size::kShort: v = static_cast<short>(va_arg(args, int)); break;
          case Size::kLong: v = va_arg(args, long); break;
          case Size::kLongLong: v = va_arg(args, long long); break;
          case Size::kIntMax: v = va_arg(args, intmax_t); break;
          case Size::kSizeT: v = static_cast<long long>(va_arg(args, size_t)); break;
          case Size::kPtrDiff: v = va_arg(args, ptrdiff_t); break;
          default: v = va_arg(args, int); break;
        }
        PutNumber(sink, spec + "lld", v);
        break;
      }
      case 'u':
      case 'o':
      case 'x':
      case 'X': {
        unsigned long long v;
        switch (size) {
          case Size::kChar: v = static_cast<unsigned char>(va_arg(args, unsigned)); break;
          case Size::kShort: v = static_cast<unsigned short>(va_arg(args, unsigned)); break;
          case Size::kLong: v = va_arg(args, unsigned long); break;
          case Size::kLongLong: v = va_arg(args, unsigned long long); break;
          case Size::kIntMax: v = va_arg(args, uintmax_t); break;
          case Size::kSizeT: v = va_arg(args, size_t); break;
          case Size::kPtrDiff: v = static_cast<unsigned long long>(va_arg(args, ptrdiff_t)); break;
          default: v = va_arg(args, unsigned); break;
        }
        PutNumber(sink, spec + "ll" + static_cast<char>(conv), v);
        break;
      }
      case 'f':
      case 'F':
      case 'e':
      case 'E':
      case 'g':
      case 'G':
      case 'a':
      case 'A':
        if (size == Size::kLongDouble) {
          PutNumber(sink, spec + "L" + static_cast<char>(conv), va_arg(args, long double));
        } else {
          PutNumber(sink, spec + static_cast<char>(conv), va_arg(args, double));
        }
        break;
      case 'p': {
        char digits[2 * sizeof(void*) + 1];
        std::snprintf(digits, sizeof digits, "%0*llX", static_cast<int>(2 * sizeof(void*)),
                      static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(va_arg(args, void*))));
        PutField(sink, digits, -1, width, left);
        break;
      }
      case 'n':
        (void)va_arg(args, void*);  // never written: a format must not write memory
        break;
      case 'c':
      case 'C': {
        bool wide = conv == 'c' ? (kWideFormat ? !narrowText : wideText) : (kWideFormat ? wideText : !narrowText);
        unsigned value = va_arg(args, unsigned);
        if (wide) {
          wchar_t text[2] = {static_cast<wchar_t>(value), 0};
          PutField(sink, text, 1, width, left);
        } else {
          char text[2] = {static_cast<char>(value), 0};
          PutField(sink, text, 1, width, left);
        }
        break;
      }
      case 's':
      case 'S': {
        bool wide = conv == 's' ? (kWideFormat ? !narrowText : wideText) : (kWideFormat ? wideText : !narrowText);
        if (wide) {
          PutField(sink, va_arg(args, const wchar_t*), precision, width, left);
        } else {
          PutField(sink, va_arg(args, const char*), precision, width, left);
        }
        break;
      }
      default:
        // An unknown conversion is shown as written; its argument is not taken.
        for (const CharT* p = start; p < f; ++p) sink.Put(*p);
        break;
    }
  }
  return sink.Finish();
}

}  // namespace

std::size_t FormatBounded(char* out, std::size_t capacity, const char* format, va_list args) {
  return Format(out, capacity, format ? format : "", args);
}

std::size_t FormatBounded(wchar_t* out, std::size_t capacity, const wchar_t* format, va_list args) {
  return Format(out, capacity, format ? format : L"", args);
}

}  // namespace tool::text_internal
