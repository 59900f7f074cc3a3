#include "commands/graph_scan.h"

#include <algorithm>
#include <string>
#include <utility>

#include <fmt/format.h>

#include "commands/filter_text.h"
#include "commands/vocabulary.h"
#include "common/command_line.h"
#include "common/text_edit.h"

namespace qel {

// ---- Quoted filter arguments ---------------------------------------------------

// The quoted ranges of a text (quotedRanges, filter_text.h): filter arguments
// such as movie='...' and text='...', and double-quoted "-i" paths. Each range
// covers its quotes. A quote after a blank is the quote round a whole option
// value, not an argument, and is not a range.
std::vector<TextRange> quotedArguments(std::string_view text) {
  std::vector<TextRange> ranges;
  for (const QuotedRange& range : quotedRanges(text)) ranges.push_back({range.begin, range.end});
  return ranges;
}

// The end of the quoted range that contains `pos`, or `pos` itself when it lies
// outside every range.
std::size_t skipQuoted(const std::vector<TextRange>& ranges, std::size_t pos) {
  for (const TextRange& r : ranges) {
    if (pos >= r.begin && pos < r.end) return r.end;
  }
  return pos;
}

bool insideQuoted(const std::vector<TextRange>& ranges, std::size_t pos) { return skipQuoted(ranges, pos) != pos; }

// ---- Option texts in whole commands ----------------------------------------------

std::vector<TextRange> commandQuotedRanges(std::string_view text) {
  std::vector<TextRange> ranges;
  for (const QuotedRun& run : quotedRunsOfCommandLine(text)) ranges.push_back({run.begin, run.end});
  for (const TextRange& range : quotedArguments(text)) ranges.push_back(range);
  return ranges;
}

std::size_t findOptionText(std::string_view text, std::string_view needle, std::size_t from) {
  if (needle.empty()) return std::string_view::npos;
  std::size_t pos = text.find(needle, from);
  if (pos == std::string_view::npos) return pos;
  const std::vector<TextRange> quoted = commandQuotedRanges(text);
  while (pos != std::string_view::npos) {
    const std::size_t end = pos + needle.size();
    const bool overlaps =
        std::any_of(quoted.begin(), quoted.end(), [&](const TextRange& r) { return r.begin < end && pos < r.end; });
    if (!overlaps) return pos;
    pos = text.find(needle, pos + 1);
  }
  return pos;
}

bool replaceFirstOptionText(std::string& text, std::string_view from, std::string_view to) {
  const std::size_t pos = findOptionText(text, from);
  if (pos == std::string::npos) return false;
  text.replace(pos, from.size(), to);
  return true;
}

// ---- Option values -------------------------------------------------------------

// Splits the option text into tokens the way the option parser does, keeping
// where each token stands in the raw text.
std::vector<OptionToken> tokenizeOptions(std::string_view text) {
  std::vector<OptionToken> tokens;
  std::size_t pos = 0;
  while (!atTextEnd(text, pos)) {
    std::size_t begin = pos;
    while (begin < text.size() && kFilterWhitespace.find(text[begin]) != std::string_view::npos) {
      ++begin;
    }
    const std::size_t before = pos;
    std::string token = readFilterToken(text, pos, " ");
    if (token.empty() || pos == before) break;
    std::size_t end = pos;
    while (end > begin && kFilterWhitespace.find(text[end - 1]) != std::string_view::npos) --end;
    tokens.push_back({std::move(token), begin, end});
  }
  return tokens;
}

namespace {

TextRange innerOf(std::string_view text, TextRange value) {
  if (value.end - value.begin >= 2) {
    const char first = text[value.begin];
    if ((first == '"' || first == '\'') && text[value.end - 1] == first) {
      return {value.begin + 1, value.end - 1};
    }
  }
  return value;
}

bool isGraphOptionName(std::string_view name) {
  return name == "vf" || name == "af" || name == "filter" || name == "filter:v" || name == "filter:a" ||
         name == "filter_complex" || name == "lavfi";
}

}  // namespace

// The values of the filter options whose graphs parseFilterOptions reads, in
// text order (the same walk over the tokens as the parser's).
std::vector<OptionValue> graphOptionValues(std::string_view text) {
  std::vector<OptionValue> values;
  const std::vector<OptionToken> tokens = tokenizeOptions(text);
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    const std::string& token = tokens[i].text;
    if (token.empty() || token[0] != '-' || token == "-") continue;
    if (token == "--") {
      if (i + 1 < tokens.size() && tokens[i + 1].text != "--") ++i;
      continue;
    }
    if (token == "-i") {
      ++i;
      continue;
    }
    const std::string_view name = std::string_view(token).substr(1);
    const FfmpegOption* row = findFfmpegOption(name);
    if (row == nullptr) {
      ++i;
      continue;
    }
    if (!row->takesArgument()) continue;
    if (i + 1 >= tokens.size()) break;
    if (isGraphOptionName(name)) {
      const TextRange value{tokens[i + 1].begin, tokens[i + 1].end};
      values.push_back({{tokens[i].begin, tokens[i].end}, value, innerOf(text, value)});
    }
    ++i;
  }
  return values;
}

// The filter option that findFilterOption reports (the last one that has a
// value), with its place in the text.
std::optional<OptionValue> lastFilterOption(std::string_view text) {
  std::optional<OptionValue> found;
  const std::vector<OptionToken> tokens = tokenizeOptions(text);
  for (std::size_t i = 0; i + 1 < tokens.size(); ++i) {
    const std::string& token = tokens[i].text;
    if (token == "-vf" || token == "-af" || token == "-lavfi" || token == "-filter:" || token == "-filter_complex") {
      const TextRange value{tokens[i + 1].begin, tokens[i + 1].end};
      found = OptionValue{{tokens[i].begin, tokens[i].end}, value, innerOf(text, value)};
    }
  }
  return found;
}

// ---- Filter names --------------------------------------------------------------

namespace {

bool isNameBoundaryBefore(char c) { return std::string_view(" \t\r\n;,]\"'").find(c) != std::string_view::npos; }

bool isNameBoundaryAfter(char c) { return std::string_view("=,;[ \t\r\n\"'").find(c) != std::string_view::npos; }

}  // namespace

// The first (or last) place inside `range` where `name` stands as a filter name:
// outside quoted arguments, at the start of a filter and followed by what may
// follow a filter name.
std::optional<std::size_t> findFilterName(std::string_view text, TextRange range, std::string_view name,
                                          const std::vector<TextRange>& quoted, bool last) {
  if (name.empty()) return std::nullopt;
  std::optional<std::size_t> found;
  std::size_t pos = text.find(name, range.begin);
  while (pos != std::string_view::npos && pos + name.size() <= range.end) {
    const std::size_t after = pos + name.size();
    const bool startOk = pos == range.begin || isNameBoundaryBefore(text[pos - 1]);
    const bool endOk = after == range.end || isNameBoundaryAfter(text[after]);
    if (startOk && endOk && !insideQuoted(quoted, pos)) {
      found = pos;
      if (!last) break;
    }
    pos = text.find(name, pos + 1);
  }
  return found;
}

// From just after a filter name, the end of that filter: the first blank, quote
// or ';' outside quoted arguments and escapes, or the end of the graph.
std::size_t scanFilterEnd(std::string_view text, std::size_t from, std::size_t graphEnd,
                          const std::vector<TextRange>& quoted) {
  std::size_t i = from;
  while (i < graphEnd) {
    const std::size_t skipped = skipQuoted(quoted, i);
    if (skipped != i) {
      i = skipped;
      continue;
    }
    const char c = text[i];
    if (c == '\\') {
      i += 2;
      continue;
    }
    if (c == ' ' || c == '"' || c == '\'' || c == ';') return i;
    ++i;
  }
  return std::min(graphEnd, text.size());
}

std::optional<FilterEnd> locateFilterEnd(const std::string& text, const FilterSegment& filter) {
  if (!filter.isFilter() || filter.name.empty()) return std::nullopt;
  const std::vector<OptionValue> values = graphOptionValues(text);
  const std::vector<TextRange> quoted = quotedArguments(text);
  for (auto it = values.rbegin(); it != values.rend(); ++it) {
    const std::optional<std::size_t> at = findFilterName(text, it->inner, filter.name, quoted, true);
    if (at) return FilterEnd{scanFilterEnd(text, *at + filter.name.size(), it->inner.end, quoted), *it};
  }
  return std::nullopt;
}

std::optional<std::size_t> findFilterEnd(const std::string& text, const FilterSegment& filter) {
  const std::optional<FilterEnd> end = locateFilterEnd(text, filter);
  if (!end) return std::nullopt;
  return end->position;
}

// ---- Ends of filters -----------------------------------------------------------

std::optional<std::size_t> findLastFilterEnd(const std::string& text) {
  FilterOptions options;
  parseFilterOptions(options, text);
  return findFilterEnd(text, lastFilterSegment(options));
}

std::optional<std::size_t> findLastFilterEndOfMedia(const std::string& text, char media) {
  FilterOptions options;
  parseFilterOptions(options, text);
  return findFilterEnd(text, lastFilterOfMedia(options, media));
}

// ---- Input and map references --------------------------------------------------

// True when the text names input `position` as [i] or [i:stream] (or, with
// `withDot`, [i.) outside quoted arguments.
bool referencesInput(std::string_view text, int position, bool withDot) {
  const std::string open = fmt::format("[{}", position);
  const std::vector<TextRange> quoted = quotedArguments(text);
  std::size_t pos = text.find(open);
  while (pos != std::string_view::npos) {
    const std::size_t next = pos + open.size();
    if (next < text.size() && !insideQuoted(quoted, pos)) {
      const char c = text[next];
      if (c == ']' || c == ':' || (withDot && c == '.')) return true;
    }
    pos = text.find(open, pos + 1);
  }
  return false;
}

void relabelInputRefs(std::string& text, int from, int to) {
  const std::string open = fmt::format("[{}", from);
  if (text.find(open) == std::string::npos) return;
  const std::vector<TextRange> quoted = quotedArguments(text);
  std::string out;
  out.reserve(text.size() + 16);
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t skipped = skipQuoted(quoted, i);
    if (skipped != i) {
      out.append(text, i, skipped - i);
      i = skipped;
      continue;
    }
    if (text.compare(i, open.size(), open) == 0) {
      const std::size_t k = i + open.size();
      if (k < text.size() && text[k] == ']') {
        out += fmt::format("[{}]", to);
        i = k + 1;
        continue;
      }
      if (k < text.size() && text[k] == ':') {
        std::size_t m = k + 1;
        while (m < text.size() && std::string_view("[]';,\" \t\r\n").find(text[m]) == std::string_view::npos) {
          ++m;
        }
        if (m < text.size() && text[m] == ']' && m > k + 1) {
          // A pad label carries one stream: its stream specifier goes.
          if (isPadLabel(to)) {
            out += fmt::format("[{}]", to);
          } else {
            out += fmt::format("[{}:{}]", to, std::string_view(text).substr(k + 1, m - k - 1));
          }
          i = m + 1;
          continue;
        }
      }
    }
    out += text[i];
    ++i;
  }
  text = std::move(out);
}

void relabelMapRefs(std::string& text, int from, int to) {
  if (to < 0 || from < 0) return;
  constexpr std::string_view kMap = "-map ";
  const std::string newIndex = isPadLabel(to) ? fmt::format("[{}]", to) : fmt::format("{}", to);
  std::size_t search = 0;
  while (true) {
    const std::size_t pos = text.find(kMap, search);
    if (pos == std::string::npos) return;
    if (pos > 0 && kFilterWhitespace.find(text[pos - 1]) == std::string_view::npos) {
      search = pos + 1;
      continue;
    }
    std::size_t argBegin = pos + kMap.size();
    while (argBegin < text.size() && text[argBegin] == ' ') ++argBegin;
    std::size_t argEnd = text.find(' ', argBegin);
    if (argEnd == std::string::npos) argEnd = text.size();

    // The leading input index, after an optional '-' (a negative map), as a
    // whole number of at most 9 digits.
    std::size_t digits = argBegin;
    if (digits < argEnd && text[digits] == '-') ++digits;
    std::size_t digitsEnd = digits;
    while (digitsEnd < argEnd && text[digitsEnd] >= '0' && text[digitsEnd] <= '9') ++digitsEnd;
    const bool wholeNumber = digitsEnd > digits && digitsEnd - digits <= 9 &&
                             (digitsEnd == argEnd || text[digitsEnd] == ':' || text[digitsEnd] == '?');
    if (wholeNumber && std::stoi(text.substr(digits, digitsEnd - digits)) == from) {
      // A pad label names one stream; the stream part cannot follow it.
      const std::size_t replaceEnd = isPadLabel(to) ? argEnd : digitsEnd;
      text.replace(digits, replaceEnd - digits, newIndex);
    }
    search = argBegin;
  }
}

// ---- Option texts --------------------------------------------------------------

void trimJoinBlanks(std::string& text) { trimChars(text, " \t\r\n"); }

// Strips blanks and one pair of enclosing single quotes, as the option parser
// does with a filter option's value.
std::string bareGraph(std::string graph) {
  const std::size_t first = graph.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  graph = graph.substr(first, graph.find_last_not_of(' ') - first + 1);
  if (graph.size() >= 2 && graph.front() == '\'' && graph.back() == '\'') {
    graph = graph.substr(1, graph.size() - 2);
  }
  return graph;
}

}  // namespace qel
