#include "qelrecorder/printf_format.h"

#include <cstdio>

#include "common/text_convert.h"
#include "qelrecorder/text16.h"

namespace qelrec {

FormatArg::FormatArg(const char16_t* s) : kind(Kind::Wide) {
  wideStore = s ? U16ToWide(s, static_cast<size_t>(-1) / sizeof(char16_t)) : std::wstring(L"(null)");
  wide = wideStore;
}

namespace {

struct Spec {
  std::string flags;
  int width = -1;
  int precision = -1;
  char conversion = 0;
};

// Output text of the right character type.
template <typename CharT>
struct Out;

template <>
struct Out<char> {
  static std::string fromNarrow(std::string_view s) { return std::string(s); }
  static std::string fromWide(std::wstring_view s) { return qel::wideToUtf8(s); }
  static std::string fromCodePoint(uint64_t cp) { return qel::wideToUtf8(std::wstring(1, static_cast<wchar_t>(cp))); }
};

template <>
struct Out<wchar_t> {
  static std::wstring fromNarrow(std::string_view s) { return qel::utf8ToWide(std::string(s)); }
  static std::wstring fromWide(std::wstring_view s) { return std::wstring(s); }
  static std::wstring fromCodePoint(uint64_t cp) { return std::wstring(1, static_cast<wchar_t>(cp)); }
};

template <typename CharT>
std::basic_string<CharT> widen(const std::string& ascii) {
  return std::basic_string<CharT>(ascii.begin(), ascii.end());
}

// Pads (or, with a precision, first cuts) a string conversion's text.
template <typename CharT>
std::basic_string<CharT> pad(std::basic_string<CharT> text, const Spec& spec, bool cut) {
  if (cut && spec.precision >= 0 && text.size() > static_cast<size_t>(spec.precision)) {
    text.resize(static_cast<size_t>(spec.precision));
  }
  if (spec.width > 0 && text.size() < static_cast<size_t>(spec.width)) {
    const size_t fill = static_cast<size_t>(spec.width) - text.size();
    if (spec.flags.find('-') != std::string::npos) {
      text.append(fill, CharT(' '));
    } else {
      text.insert(0, fill, CharT(' '));
    }
  }
  return text;
}

// A numeric conversion through snprintf with a spec rebuilt for the real type.
std::string number(const Spec& spec, const FormatArg& arg) {
  std::string fmt = "%" + spec.flags;
  if (spec.width >= 0) fmt += std::to_string(spec.width);
  if (spec.precision >= 0) fmt += "." + std::to_string(spec.precision);
  char buffer[512];
  const char c = spec.conversion;
  const bool floating = c == 'f' || c == 'F' || c == 'e' || c == 'E' || c == 'g' || c == 'G' || c == 'a' || c == 'A';
  const bool unsignedConv = c == 'u' || c == 'x' || c == 'X' || c == 'o';
  if (c == 'p') {
    const void* p = arg.kind == FormatArg::Kind::Pointer ? arg.p : reinterpret_cast<const void*>(arg.u);
    std::snprintf(buffer, sizeof buffer, (fmt + "p").c_str(), p);
    return buffer;
  }
  if (floating) {
    double v = arg.d;
    if (arg.kind == FormatArg::Kind::Signed) v = static_cast<double>(arg.i);
    if (arg.kind == FormatArg::Kind::Unsigned) v = static_cast<double>(arg.u);
    std::snprintf(buffer, sizeof buffer, (fmt + c).c_str(), v);
    return buffer;
  }
  // Integer conversions; a double given to one is truncated.
  int64_t s = arg.i;
  uint64_t u = arg.u;
  if (arg.kind == FormatArg::Kind::Signed) {
    // Unsigned conversions see the argument's own width, as printf would:
    // %x of the int -2147352557 is 80020013.
    u = arg.bits >= 64 ? static_cast<uint64_t>(arg.i) : static_cast<uint64_t>(arg.i) & ((uint64_t{1} << arg.bits) - 1);
  } else if (arg.kind == FormatArg::Kind::Unsigned) {
    s = static_cast<int64_t>(arg.u);
  } else if (arg.kind == FormatArg::Kind::Double) {
    s = static_cast<int64_t>(arg.d);
    u = static_cast<uint64_t>(s);
  } else if (arg.kind == FormatArg::Kind::Pointer) {
    u = reinterpret_cast<uintptr_t>(arg.p);
    s = static_cast<int64_t>(u);
  }
  if (unsignedConv) {
    std::snprintf(buffer, sizeof buffer, (fmt + "ll" + c).c_str(), static_cast<unsigned long long>(u));
  } else {
    std::snprintf(buffer, sizeof buffer, (fmt + "lld").c_str(), static_cast<long long>(s));
  }
  return buffer;
}

template <typename CharT>
std::basic_string<CharT> format(std::basic_string_view<CharT> text, std::span<const FormatArg* const> args) {
  using O = Out<CharT>;
  std::basic_string<CharT> out;
  size_t next = 0;
  const auto take = [&]() -> const FormatArg* { return next < args.size() ? args[next++] : nullptr; };
  const auto takeInt = [&](int fallback) {
    const FormatArg* a = take();
    if (a == nullptr) return fallback;
    if (a->kind == FormatArg::Kind::Signed) return static_cast<int>(a->i);
    if (a->kind == FormatArg::Kind::Unsigned) return static_cast<int>(a->u);
    return fallback;
  };
  size_t i = 0;
  const size_t n = text.size();
  while (i < n) {
    const CharT ch = text[i];
    if (ch != CharT('%')) {
      out.push_back(ch);
      ++i;
      continue;
    }
    ++i;
    if (i < n && text[i] == CharT('%')) {
      out.push_back(CharT('%'));
      ++i;
      continue;
    }
    Spec spec;
    while (i < n && (text[i] == CharT('-') || text[i] == CharT('+') || text[i] == CharT(' ') || text[i] == CharT('#') ||
                     text[i] == CharT('0'))) {
      spec.flags.push_back(static_cast<char>(text[i]));
      ++i;
    }
    if (i < n && text[i] == CharT('*')) {
      spec.width = takeInt(-1);
      if (spec.width < 0 && spec.width != -1) {
        spec.flags.push_back('-');
        spec.width = -spec.width;
      }
      ++i;
    } else {
      while (i < n && text[i] >= CharT('0') && text[i] <= CharT('9')) {
        spec.width = (spec.width < 0 ? 0 : spec.width) * 10 + static_cast<int>(text[i] - CharT('0'));
        if (spec.width > 4096) spec.width = 4096;
        ++i;
      }
    }
    if (i < n && text[i] == CharT('.')) {
      ++i;
      spec.precision = 0;
      if (i < n && text[i] == CharT('*')) {
        spec.precision = takeInt(-1);
        ++i;
      } else {
        while (i < n && text[i] >= CharT('0') && text[i] <= CharT('9')) {
          spec.precision = spec.precision * 10 + static_cast<int>(text[i] - CharT('0'));
          if (spec.precision > 4096) spec.precision = 4096;
          ++i;
        }
      }
    }
    // Length modifiers say nothing the argument's type does not.
    while (i < n) {
      const CharT m = text[i];
      if (m == CharT('h') || m == CharT('l') || m == CharT('L') || m == CharT('z') || m == CharT('j') ||
          m == CharT('t') || m == CharT('w')) {
        ++i;
      } else if (m == CharT('I')) {
        ++i;
        if (i + 1 < n && ((text[i] == CharT('6') && text[i + 1] == CharT('4')) ||
                          (text[i] == CharT('3') && text[i + 1] == CharT('2')))) {
          i += 2;
        }
      } else {
        break;
      }
    }
    if (i >= n) break;  // a lone '%' at the end prints nothing
    const CharT conv = text[i++];
    spec.conversion = conv < 0x80 ? static_cast<char>(conv) : '?';
    const FormatArg* arg = nullptr;
    switch (spec.conversion) {
      case 's':
      case 'S':
        arg = take();
        if (arg == nullptr) break;
        if (arg->kind == FormatArg::Kind::Narrow) {
          out += pad<CharT>(O::fromNarrow(arg->narrow), spec, true);
        } else if (arg->kind == FormatArg::Kind::Wide) {
          out += pad<CharT>(O::fromWide(arg->wide), spec, true);
        } else {
          Spec asNumber = spec;
          asNumber.conversion = arg->kind == FormatArg::Kind::Double ? 'g' : 'd';
          if (arg->kind == FormatArg::Kind::Pointer) asNumber.conversion = 'p';
          asNumber.precision = -1;
          out += widen<CharT>(number(asNumber, *arg));
        }
        break;
      case 'c':
      case 'C':
        arg = take();
        if (arg == nullptr) break;
        if (arg->kind == FormatArg::Kind::Signed || arg->kind == FormatArg::Kind::Unsigned) {
          uint64_t cp = arg->kind == FormatArg::Kind::Signed ? static_cast<uint64_t>(arg->i) : arg->u;
          if (arg->kind == FormatArg::Kind::Signed && arg->bits == 8) cp &= 0xFF;
          if (cp > 0x10FFFF) cp = 0xFFFD;
          out += pad<CharT>(O::fromCodePoint(cp), spec, false);
        }
        break;
      case 'd':
      case 'i':
      case 'u':
      case 'x':
      case 'X':
      case 'o':
      case 'f':
      case 'F':
      case 'e':
      case 'E':
      case 'g':
      case 'G':
      case 'a':
      case 'A':
      case 'p':
        arg = take();
        if (arg == nullptr) break;
        if (arg->kind == FormatArg::Kind::Narrow) {
          out += pad<CharT>(O::fromNarrow(arg->narrow), spec, false);
        } else if (arg->kind == FormatArg::Kind::Wide) {
          out += pad<CharT>(O::fromWide(arg->wide), spec, false);
        } else {
          out += widen<CharT>(number(spec, *arg));
        }
        break;
      default:
        // Unknown conversion (and %n): printed as written, nothing consumed.
        out.push_back(CharT('%'));
        out.push_back(conv);
        break;
    }
  }
  return out;
}

}  // namespace

std::string FormatNarrow(std::string_view format, std::span<const FormatArg* const> args) {
  return qelrec::format<char>(format, args);
}

std::wstring FormatWide(std::wstring_view format, std::span<const FormatArg* const> args) {
  return qelrec::format<wchar_t>(format, args);
}

}  // namespace qelrec
