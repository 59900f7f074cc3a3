// Filter-option parsing: reads a piece of an ffmpeg command line (an operation's
// "transform", such as -filter_complex '...' -map [v] -c:a copy) the way ffmpeg
// reads its own command line and filter-graph syntax, and records which filters
// it applies (in order, with media and pad labels) and which other options it
// sets. The parser only describes a text: it never rejects it and never reports
// an error; malformed text ends the parse quietly with what was read so far.
//
// Thread safety: every function works only on its arguments and on the
// immutable vocabulary tables, so any thread may call them at any time. A
// FilterOptions must not be shared between threads while it is being filled.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qel {

// One filter of a filter chain, or one other option. A plain value type that
// owns its strings and lists; a moved-from segment is the empty segment.
struct FilterSegment {
  FilterSegment() = default;
  FilterSegment(const FilterSegment&) = default;
  FilterSegment& operator=(const FilterSegment&) = default;
  FilterSegment(FilterSegment&& other) noexcept { *this = std::move(other); }
  FilterSegment& operator=(FilterSegment&& other) noexcept {
    if (this != &other) {
      kind = std::exchange(other.kind, 'n');
      media = std::exchange(other.media, 'n');
      name = std::exchange(other.name, std::string());
      args = std::exchange(other.args, std::string());
      inputPads = std::exchange(other.inputPads, {});
      outputPads = std::exchange(other.outputPads, {});
    }
    return *this;
  }

  // 'f' a filter, 'o' another option, 'n' none (only the empty segment).
  char kind = 'n';
  // 'a' an audio filter, 'v' a video filter; 'n' an option, a filter in
  // neither name list, or the empty segment.
  char media = 'n';
  // Filter name; for an option, the option text without its leading '-' and
  // with its stream specifier, if any ("c:a", "map").
  std::string name;
  // A filter's argument text after '=' (single quotes kept; empty without
  // '='); an option's value, or "1" for an option that takes no argument.
  std::string args;
  // Labels written in brackets before / after the filter, without brackets.
  std::vector<std::string> inputPads;
  std::vector<std::string> outputPads;

  bool isFilter() const { return kind == 'f'; }
  bool operator==(const FilterSegment&) const = default;
};

// The parse of one option text. A new record has all flags false and no
// segments.
struct FilterOptions {
  bool hasAudioFilter = false;   // a filter named in AudioFilterNames was read
  bool hasVideoFilter = false;   // a filter named in VideoFilterNames was read
  bool hasOtherOptions = false;  // an option other than a filter option was recorded
  // Options and filters in text order; the filters of one chain in chain order.
  std::vector<FilterSegment> segments;

  bool operator==(const FilterOptions&) const = default;
};

// Whitespace as the parser sees it: blank, line feed, tab, carriage return.
inline constexpr std::string_view kFilterWhitespace = " \n\t\r";

// True when `pos` is at the end of `text`. A NUL character also ends the text:
// nothing after it is read.
inline bool atTextEnd(std::string_view text, std::size_t pos) { return pos >= text.size() || text[pos] == '\0'; }

// Reads one token starting at `pos`: skips leading whitespace, then copies
// characters until the end of the text or one of `terminators` (which is not
// consumed). A backslash escapes the next character (copied without the
// backslash); single-quoted parts keep their quotes, double-quoted parts lose
// them; terminators inside quotes or after a backslash do not end the token.
// Trailing whitespace is removed, except what quotes or escapes protect. An
// unclosed single quote is closed in the output.
// On return `pos` is on the character that ended the token (a terminator or the
// end of the text). Never fails; an empty result means no token.
std::string readFilterToken(std::string_view text, std::size_t& pos, std::string_view terminators);

// Splits an option text into tokens with readFilterToken and the terminator
// " ", as long as text remains; stops at the first empty token, so nothing after
// a standalone "" or trailing whitespace is returned. The command-text helpers
// split texts this same way.
std::vector<std::string> splitOptionTokens(std::string_view text);

// Returns {option, value}: the last of "-vf", "-af", "-lavfi", "-filter:" and
// "-filter_complex" among the tokens of `text`, and the token after it. When
// the last match is the final token, the value is the one an earlier match set
// (or empty). Two empty strings when the text holds no filter option.
std::pair<std::string, std::string> findFilterOption(std::string_view text);

// Clears `out`, then fills it from the option text. Options missing from
// FfmpegOptionTable are not recorded (their next token is skipped as their
// value); "-i" and its input, file names and stray words are ignored.
//
// Signature note: this is the one form of the parser in the library, an output
// record plus the text, so a caller can reuse the same record. Code that wants
// a value writes `FilterOptions o; parseFilterOptions(o, text);`.
void parseFilterOptions(FilterOptions& out, std::string_view text);

// Records one option (name without '-'). The filter options "vf", "af",
// "filter", "filter:v", "filter:a", "filter_complex" and "lavfi" have their
// value (blanks trimmed, one pair of enclosing single quotes removed) parsed as
// a filter graph; any other name becomes an option segment and sets
// hasOtherOptions.
void addFilterOption(FilterOptions& out, std::string_view name, std::string_view value);

// Appends the filters of one filter-graph text to `out`, setting the media
// flags. A leading "sws_flags=...;" is skipped. An empty or unclosed pad label
// stops the parse; the filter being read is then dropped, filters appended
// before stay. Empty filters (",,") are not recorded.
void parseFilterChain(FilterOptions& out, std::string_view text);

// Copies of the first / last segment of kind 'f' (any media), or the empty
// segment. Never an option segment.
FilterSegment firstFilterSegment(const FilterOptions& options);
FilterSegment lastFilterSegment(const FilterOptions& options);

// Copies of the first / last segment of kind 'f' whose media equals `media`
// ('a' or 'v'), or the empty segment.
FilterSegment firstFilterOfMedia(const FilterOptions& options, char media);
FilterSegment lastFilterOfMedia(const FilterOptions& options, char media);

// True when a segment of any kind (filter or option) has exactly this name.
bool hasSegmentNamed(const FilterOptions& options, std::string_view name);

// True when a filter segment works on audio or video.
bool hasMediaFilter(const FilterOptions& options);

}  // namespace qel
