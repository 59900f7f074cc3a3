// Whitespace trimming for texts read from windows and devices.
#pragma once

#include <string>

namespace capture {

// `text` without leading and trailing blanks, tabs, carriage returns and line
// feeds; inner whitespace stays.
std::string TrimWhitespace(const std::string& text);

}  // namespace capture
