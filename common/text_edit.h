// Small text edits shared by the media-task library and the daemon: finding,
// trimming and splitting byte text, and adding a value to a list only once.
// Everything works on bytes; no locale is consulted.
//
// Thread safety: pure functions, safe from any thread.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

namespace qel {

constexpr bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

// Removes every character of `set` (bytes) from the end, then from the front.
// An empty set leaves the text alone.
void trimChars(std::string& text, std::string_view set);

// Removes, in place, every trailing and then every leading white-space
// character of the "C" locale (blank, tab, line feed, vertical tab, form feed,
// carriage return).
void trimSpaces(std::string& text);

// Splits at every `separator`, keeping empty pieces (two in a row give one,
// an empty text gives one) and trimming nothing.
std::vector<std::string> splitAt(std::string_view text, char separator);

// Splits at " \n\t\r"; empty tokens are dropped. A double-quoted run (with a
// closing partner) stays in one token, quotes included; a lone quote is an
// ordinary character.
std::vector<std::string> splitWhitespace(std::string_view text);

// Appends `value` unless the list already holds an equal one; true when it
// was appended. The list keeps first-seen order.
template <typename Value>
bool appendIfAbsent(std::vector<Value>& list, const Value& value) {
  if (std::find(list.begin(), list.end(), value) != list.end()) return false;
  list.push_back(value);
  return true;
}

}  // namespace qel
