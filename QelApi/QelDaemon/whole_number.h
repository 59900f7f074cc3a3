// Reading a number that must fill the whole of a text field (the kernel's
// tables under /proc). Nothing is skipped: no blanks, no sign, no trailing
// text.
//
// Thread safety: pure function.
#pragma once

#include <charconv>
#include <string_view>

namespace qel {

// True when all of `text` is a number in `base` that fits `Number`; it goes
// to `value`.
template <typename Number>
bool ParseWhole(std::string_view text, Number& value, int base = 10) {
  const char* end = text.data() + text.size();
  return !text.empty() && std::from_chars(text.data(), end, value, base).ptr == end;
}

}  // namespace qel
