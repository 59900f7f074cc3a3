// Filter-option parsing: tokens, option walk, filter-graph chains and accessors.
#include "commands/filter_options.h"

#include <algorithm>
#include <array>

#include "commands/vocabulary.h"

namespace qel {

namespace {

bool isFilterWhitespace(char c) { return kFilterWhitespace.find(c) != std::string_view::npos; }

void skipWhitespace(std::string_view text, std::size_t& pos) {
  while (!atTextEnd(text, pos) && isFilterWhitespace(text[pos])) ++pos;
}

// A NUL ends the text: whatever follows it is not read.
std::string_view untilNul(std::string_view text) {
  const std::size_t nul = text.find('\0');
  return nul == std::string_view::npos ? text : text.substr(0, nul);
}

// The option names whose value is a filter graph. A further stream specifier
// (filter:v:0) is deliberately not among them: such an option is kept as an
// ordinary option and its graph is not looked into.
constexpr std::array<std::string_view, 7> kFilterOptionNames{
    "vf", "af", "filter", "filter:v", "filter:a", "filter_complex", "lavfi"};

constexpr std::array<std::string_view, 5> kFilterOptionTokens{"-vf", "-af", "-lavfi", "-filter:", "-filter_complex"};

// Reads "[label]" groups at `pos` into `pads`. False when a label is empty or
// its ']' is missing, which ends the whole chain parse.
bool readPadLabels(std::string_view text, std::size_t& pos, std::vector<std::string>& pads) {
  while (!atTextEnd(text, pos) && text[pos] == '[') {
    ++pos;
    std::string label = readFilterToken(text, pos, "]");
    if (label.empty() || atTextEnd(text, pos) || text[pos] != ']') return false;
    ++pos;
    pads.push_back(std::move(label));
    skipWhitespace(text, pos);
  }
  return true;
}

}  // namespace

std::string readFilterToken(std::string_view text, std::size_t& pos, std::string_view terminators) {
  // The token is built in a growing string: an unclosed single quote gets its
  // closing quote added, so the output can be longer than the text it came
  // from, and a buffer sized from the remaining text would overflow.
  std::size_t p = pos;
  skipWhitespace(text, p);
  std::string out;
  // Trailing whitespace written by quotes or escapes is part of the token; only
  // what lies after this point may be trimmed.
  std::size_t protectedEnd = 0;
  while (!atTextEnd(text, p) && terminators.find(text[p]) == std::string_view::npos) {
    const char c = text[p];
    if (c == '\\') {
      if (!atTextEnd(text, p + 1)) {
        out += text[p + 1];
        p += 2;
        protectedEnd = out.size();
      } else {
        out += c;
        ++p;
      }
    } else if (c == '\'') {
      out += '\'';
      ++p;
      while (!atTextEnd(text, p) && text[p] != '\'') out += text[p++];
      out += '\'';
      if (!atTextEnd(text, p)) {
        ++p;
        protectedEnd = out.size();
      }
    } else if (c == '"') {
      ++p;
      while (!atTextEnd(text, p) && text[p] != '"') out += text[p++];
      if (!atTextEnd(text, p)) {
        ++p;
        protectedEnd = out.size();
      }
    } else {
      out += c;
      ++p;
    }
  }
  while (out.size() > protectedEnd && isFilterWhitespace(out.back())) out.pop_back();
  pos = p;
  return out;
}

std::vector<std::string> splitOptionTokens(std::string_view text) {
  text = untilNul(text);
  std::vector<std::string> tokens;
  std::size_t pos = 0;
  while (!atTextEnd(text, pos)) {
    std::string token = readFilterToken(text, pos, " ");
    if (token.empty()) break;
    tokens.push_back(std::move(token));
  }
  return tokens;
}

std::pair<std::string, std::string> findFilterOption(std::string_view text) {
  const std::vector<std::string> tokens = splitOptionTokens(text);
  std::pair<std::string, std::string> found;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    if (std::find(kFilterOptionTokens.begin(), kFilterOptionTokens.end(), tokens[i]) == kFilterOptionTokens.end()) {
      continue;
    }
    found.first = tokens[i];
    if (i + 1 < tokens.size()) found.second = tokens[i + 1];
  }
  return found;
}

void parseFilterOptions(FilterOptions& out, std::string_view text) {
  out.hasAudioFilter = false;
  out.hasVideoFilter = false;
  out.hasOtherOptions = false;
  out.segments.clear();

  const std::vector<std::string> tokens = splitOptionTokens(text);
  const std::size_t count = tokens.size();
  std::size_t i = 0;
  while (i < count) {
    const std::string& token = tokens[i];
    if (token.empty() || token[0] != '-' || token == "-") {
      ++i;  // input or output file name, or a stray word
      continue;
    }
    if (token == "--") {
      // The token after "--" is not an option, unless it is "--" itself.
      i += (i + 1 < count && tokens[i + 1] != "--") ? 2 : 1;
      continue;
    }
    if (token == "-i") {
      i += 2;  // the input is not recorded
      continue;
    }
    const std::string_view name = std::string_view(token).substr(1);
    const FfmpegOption* row = findFfmpegOption(name);
    if (row == nullptr) {
      i += 2;  // unknown: its value, if any, goes with it
      continue;
    }
    if (row->takesArgument()) {
      if (i + 1 >= count) break;  // the value is missing: nothing recorded
      addFilterOption(out, name, tokens[i + 1]);
      i += 2;
    } else {
      addFilterOption(out, name, "1");
      ++i;
    }
  }
}

void addFilterOption(FilterOptions& out, std::string_view name, std::string_view value) {
  if (std::find(kFilterOptionNames.begin(), kFilterOptionNames.end(), name) != kFilterOptionNames.end()) {
    const std::size_t first = value.find_first_not_of(' ');
    value = first == std::string_view::npos ? std::string_view() : value.substr(first);
    const std::size_t last = value.find_last_not_of(' ');
    value = last == std::string_view::npos ? std::string_view() : value.substr(0, last + 1);
    if (value.size() >= 2 && value.front() == '\'' && value.back() == '\'') {
      value = value.substr(1, value.size() - 2);
    }
    parseFilterChain(out, value);
    return;
  }
  FilterSegment segment;
  segment.kind = 'o';
  segment.media = 'n';
  segment.name = std::string(name);
  segment.args = std::string(value);
  out.segments.push_back(std::move(segment));
  out.hasOtherOptions = true;
}

void parseFilterChain(FilterOptions& out, std::string_view text) {
  text = untilNul(text);
  std::size_t pos = 0;
  skipWhitespace(text, pos);
  if (text.substr(pos).starts_with("sws_flags=")) {
    const std::size_t semicolon = text.find(';', pos);
    if (semicolon == std::string_view::npos) return;
    pos = semicolon + 1;
  }
  for (;;) {
    FilterSegment segment;
    skipWhitespace(text, pos);
    if (!readPadLabels(text, pos, segment.inputPads)) return;
    segment.name = readFilterToken(text, pos, "=,;[");
    if (!atTextEnd(text, pos) && text[pos] == '=') {
      ++pos;
      segment.args = readFilterToken(text, pos, "[],;");
    }
    // The media flag is set before the output labels are read, so a filter
    // dropped for a broken output label still counts.
    if (isAudioFilterName(segment.name)) {
      segment.media = 'a';
      out.hasAudioFilter = true;
    } else if (isVideoFilterName(segment.name)) {
      segment.media = 'v';
      out.hasVideoFilter = true;
    }
    if (!readPadLabels(text, pos, segment.outputPads)) return;
    segment.kind = 'f';
    if (!segment.name.empty()) out.segments.push_back(std::move(segment));
    skipWhitespace(text, pos);
    if (atTextEnd(text, pos)) return;
    const char separator = text[pos++];
    if (separator != ',' && separator != ';') return;
  }
}

namespace {

template <typename Iterator, typename Predicate>
FilterSegment copyFirstMatch(Iterator begin, Iterator end, Predicate matches) {
  const auto it = std::find_if(begin, end, matches);
  return it == end ? FilterSegment{} : *it;
}

}  // namespace

FilterSegment firstFilterSegment(const FilterOptions& options) {
  return copyFirstMatch(options.segments.begin(), options.segments.end(),
                        [](const FilterSegment& s) { return s.kind == 'f'; });
}

FilterSegment lastFilterSegment(const FilterOptions& options) {
  return copyFirstMatch(options.segments.rbegin(), options.segments.rend(),
                        [](const FilterSegment& s) { return s.kind == 'f'; });
}

FilterSegment firstFilterOfMedia(const FilterOptions& options, char media) {
  return copyFirstMatch(options.segments.begin(), options.segments.end(),
                        [media](const FilterSegment& s) { return s.kind == 'f' && s.media == media; });
}

FilterSegment lastFilterOfMedia(const FilterOptions& options, char media) {
  return copyFirstMatch(options.segments.rbegin(), options.segments.rend(),
                        [media](const FilterSegment& s) { return s.kind == 'f' && s.media == media; });
}

bool hasSegmentNamed(const FilterOptions& options, std::string_view name) {
  return std::any_of(options.segments.begin(), options.segments.end(),
                     [name](const FilterSegment& s) { return s.name == name; });
}

bool hasMediaFilter(const FilterOptions& options) {
  return std::any_of(options.segments.begin(), options.segments.end(),
                     [](const FilterSegment& s) { return s.isFilter() && (s.media == 'a' || s.media == 'v'); });
}

}  // namespace qel
