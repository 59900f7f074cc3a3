// ASCII-only case folding and case-blind comparisons for protocol words, file
// extensions and option names. Only 'A'-'Z' and 'a'-'z' change; every other
// byte (UTF-8 sequences included) is left as it is, and no locale is consulted.
//
// Thread safety: pure functions, safe from any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qel {

constexpr char asciiToLower(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return (byte >= 'A' && byte <= 'Z') ? static_cast<char>(byte - 'A' + 'a') : c;
}

inline std::string asciiLowerCopy(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = asciiToLower(c);
  return out;
}

constexpr bool asciiIEquals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (asciiToLower(a[i]) != asciiToLower(b[i])) return false;
  }
  return true;
}

constexpr bool asciiIStartsWith(std::string_view text, std::string_view prefix) {
  return prefix.size() <= text.size() && asciiIEquals(text.substr(0, prefix.size()), prefix);
}

constexpr bool asciiIEndsWith(std::string_view text, std::string_view suffix) {
  return suffix.size() <= text.size() && asciiIEquals(text.substr(text.size() - suffix.size()), suffix);
}

}  // namespace qel
