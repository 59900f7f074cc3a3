#include "capture/base/string_trim.h"

namespace capture {

std::string TrimWhitespace(const std::string& text) {
  static constexpr char kBlanks[] = " \n\r\t";
  size_t first = text.find_first_not_of(kBlanks);
  size_t last = text.find_last_not_of(kBlanks);
  if (first == std::string::npos || last == std::string::npos) return std::string();
  return text.substr(first, last - first + 1);
}

}  // namespace capture
