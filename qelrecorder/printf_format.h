// printf-style formatting for the recorder's log lines, with the arguments'
// real types known: a conversion never reads an argument of another type, a
// missing argument prints nothing, and strings convert between narrow (UTF-8)
// and wide text as the output needs. "%s" and "%S" both print the string
// argument they are given, so the Windows-style wide formats of the log calls
// ("%s" a wide text, "%S" a narrow one) need no rewriting for glibc.
//
// Conversions: d i u x X o c C s S f F e E g G a A p %; flags, width and
// precision (also "*"), and length modifiers (h hh l ll L z j t I I32 I64),
// which are read and ignored since the argument's own type decides.
//
// Thread safety: pure functions.
#pragma once

#include <concepts>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace qelrec {

// One argument, as its type says.
struct FormatArg {
  enum class Kind { Signed, Unsigned, Double, Pointer, Narrow, Wide };
  Kind kind = Kind::Signed;
  int bits = 64;  // width of an integer argument (for %x of a negative int)
  int64_t i = 0;
  uint64_t u = 0;
  double d = 0;
  const void* p = nullptr;
  std::string_view narrow;
  std::wstring_view wide;
  std::wstring wideStore;  // converted UTF-16 text

  template <typename T>
  requires(std::is_integral_v<T>&& std::is_signed_v<T>) FormatArg(T v)
      : kind(Kind::Signed), bits(sizeof(T) * 8), i(v) {}
  template <typename T>
  requires(std::is_integral_v<T>&& std::is_unsigned_v<T>) FormatArg(T v)
      : kind(Kind::Unsigned), bits(sizeof(T) * 8), u(v) {}
  template <typename T>
  requires std::is_enum_v<T> FormatArg(T v) : FormatArg(static_cast<std::underlying_type_t<T>>(v)) {}
  FormatArg(double v) : kind(Kind::Double), d(v) {}
  FormatArg(float v) : kind(Kind::Double), d(v) {}
  FormatArg(const char* s) : kind(Kind::Narrow), narrow(s ? s : "(null)") {}
  FormatArg(char* s) : FormatArg(static_cast<const char*>(s)) {}
  FormatArg(const std::string& s) : kind(Kind::Narrow), narrow(s) {}
  FormatArg(std::string_view s) : kind(Kind::Narrow), narrow(s) {}
  FormatArg(const wchar_t* s) : kind(Kind::Wide), wide(s ? s : L"(null)") {}
  FormatArg(wchar_t* s) : FormatArg(static_cast<const wchar_t*>(s)) {}
  FormatArg(const std::wstring& s) : kind(Kind::Wide), wide(s) {}
  FormatArg(std::wstring_view s) : kind(Kind::Wide), wide(s) {}
  FormatArg(const char16_t* s);
  FormatArg(char16_t* s) : FormatArg(static_cast<const char16_t*>(s)) {}
  FormatArg(const void* v) : kind(Kind::Pointer), p(v) {}
  FormatArg(void* v) : kind(Kind::Pointer), p(v) {}

  FormatArg(const FormatArg&) = delete;
  FormatArg& operator=(const FormatArg&) = delete;
};

std::string FormatNarrow(std::string_view format, std::span<const FormatArg* const> args);
std::wstring FormatWide(std::wstring_view format, std::span<const FormatArg* const> args);

template <typename... A>
std::string FormatA(std::string_view format, const A&... args) {
  const FormatArg holders[sizeof...(A) + 1] = {FormatArg(args)..., FormatArg(0)};
  const FormatArg* ptrs[sizeof...(A) + 1];
  for (size_t k = 0; k < sizeof...(A); ++k) ptrs[k] = &holders[k];
  return FormatNarrow(format, std::span<const FormatArg* const>(ptrs, sizeof...(A)));
}

template <typename... A>
std::wstring FormatW(std::wstring_view format, const A&... args) {
  const FormatArg holders[sizeof...(A) + 1] = {FormatArg(args)..., FormatArg(0)};
  const FormatArg* ptrs[sizeof...(A) + 1];
  for (size_t k = 0; k < sizeof...(A); ++k) ptrs[k] = &holders[k];
  return FormatWide(format, std::span<const FormatArg* const>(ptrs, sizeof...(A)));
}

}  // namespace qelrec
