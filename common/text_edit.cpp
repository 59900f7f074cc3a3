#include "common/text_edit.h"

namespace qel {
namespace {

bool isSeparator(char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; }

constexpr std::string_view kCSpaces = " \t\n\v\f\r";

}  // namespace

void trimChars(std::string& text, std::string_view set) {
  if (set.empty()) return;
  const std::size_t last = text.find_last_not_of(set);
  if (last == std::string::npos) {
    text.clear();
    return;
  }
  text.erase(last + 1);
  text.erase(0, text.find_first_not_of(set));
}

void trimSpaces(std::string& text) { trimChars(text, kCSpaces); }

std::vector<std::string> splitAt(std::string_view text, char separator) {
  std::vector<std::string> pieces;
  std::size_t start = 0;
  while (true) {
    const std::size_t at = text.find(separator, start);
    if (at == std::string_view::npos) {
      pieces.emplace_back(text.substr(start));
      return pieces;
    }
    pieces.emplace_back(text.substr(start, at - start));
    start = at + 1;
  }
}

std::vector<std::string> splitWhitespace(std::string_view text) {
  std::vector<std::string> tokens;
  std::string token;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (isSeparator(c)) {
      if (!token.empty()) tokens.push_back(std::move(token));
      token.clear();
      continue;
    }
    token.push_back(c);
    if (c == '"') {
      const std::size_t close = text.find('"', i + 1);
      if (close != std::string_view::npos) {
        token.append(text.substr(i + 1, close - i));
        i = close;
      }
    }
  }
  if (!token.empty()) tokens.push_back(std::move(token));
  return tokens;
}

}  // namespace qel
