// Filter-graph text scanning: finding things in the option texts of task
// operations without changing what they mean. Where quoted filter arguments
// lie (movie='...', text='...', double-quoted "-i" paths), how an option text
// splits into tokens and where each stands, where the values of the filter
// options are, where a filter name stands and where its filter ends, whether a
// graph refers to an input, and the renaming of input references in graphs
// and of input indexes in -map arguments. The graph joining (graph_join.h)
// does its edits at the places these functions find.
//
// Numbers in labels: from kFirstPadLabel up a label is a pad label; below it a
// label names an input position.
//
// Thread safety: free functions on their arguments and the immutable
// vocabulary tables; any thread may call them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "commands/filter_options.h"

namespace qel {

// The first pad label number; smaller label numbers are input positions.
inline constexpr std::int32_t kFirstPadLabel = 4095;

inline bool isPadLabel(int number) { return number >= kFirstPadLabel; }

// A half-open range [begin, end) of a text.
struct TextRange {
  std::size_t begin = 0;
  std::size_t end = 0;

  bool operator==(const TextRange&) const = default;
};

// ---- Quoted filter arguments ---------------------------------------------------

// The quoted ranges of a text (quotedRanges, filter_text.h), quotes included. A
// quote after a blank is the quote round a whole option value, not an
// argument, and is not a range.
std::vector<TextRange> quotedArguments(std::string_view text);

// The end of the range that contains `pos`, or `pos` itself when it lies
// outside every range.
std::size_t skipQuoted(const std::vector<TextRange>& ranges, std::size_t pos);

bool insideQuoted(const std::vector<TextRange>& ranges, std::size_t pos);

// ---- Option texts in whole commands ---------------------------------------------
// An option spelled inside a quoted path, a quoted graph or a quoted filter
// argument is part of that name, not an option: the edits of whole command
// and transform texts look for option texts only outside these ranges, so a
// file called "a -c:a copy.mkv" keeps its name.

// The ranges of a command or transform text where no option stands: the
// double-quoted runs as the command-line splitter reads them, and the quoted
// filter arguments (quotedArguments).
std::vector<TextRange> commandQuotedRanges(std::string_view text);

// The first occurrence of `needle` at or after `from` that lies wholly
// outside the commandQuotedRanges; npos when there is none.
std::size_t findOptionText(std::string_view text, std::string_view needle, std::size_t from = 0);

inline bool containsOptionText(std::string_view text, std::string_view needle) {
  return findOptionText(text, needle) != std::string_view::npos;
}

// Replaces (or removes) that first occurrence; false when there is none.
bool replaceFirstOptionText(std::string& text, std::string_view from, std::string_view to);
inline bool eraseFirstOptionText(std::string& text, std::string_view what) {
  return replaceFirstOptionText(text, what, {});
}

// ---- Tokens and filter option values -------------------------------------------

// One token of an option text as the option parser reads it, with the place of
// its raw characters in the text.
struct OptionToken {
  std::string text;
  std::size_t begin = 0;  // first character of the raw token
  std::size_t end = 0;    // just past its last character

  bool operator==(const OptionToken&) const = default;
};

// Splits the option text into tokens the way the option parser does
// (splitOptionTokens, filter_options.h), keeping where each token stands.
std::vector<OptionToken> tokenizeOptions(std::string_view text);

// Where a filter option's value stands: the option token, the raw value token,
// and the graph inside it (without a pair of enclosing quotes).
struct OptionValue {
  TextRange option;
  TextRange value;
  TextRange inner;

  bool operator==(const OptionValue&) const = default;
};

// The values of the filter options (-vf, -af, -filter, -filter:v, -filter:a,
// -filter_complex, -lavfi) whose graphs parseFilterOptions reads, in text
// order: the same walk over the tokens as the parser's.
std::vector<OptionValue> graphOptionValues(std::string_view text);

// The filter option that findFilterOption reports (the last one that has a
// value), with its place in the text.
std::optional<OptionValue> lastFilterOption(std::string_view text);

// ---- Filter names and ends -------------------------------------------------------

// The first (or, with `last`, the last) place inside `range` where `name`
// stands as a filter name: outside the quoted ranges, at the start of a filter
// and followed by what may follow a filter name.
std::optional<std::size_t> findFilterName(std::string_view text, TextRange range, std::string_view name,
                                          const std::vector<TextRange>& quoted, bool last);

// From just after a filter name, the end of that filter: the first blank,
// quote or ';' outside the quoted ranges and escapes, or `graphEnd`.
std::size_t scanFilterEnd(std::string_view text, std::size_t from, std::size_t graphEnd,
                          const std::vector<TextRange>& quoted);

// Where a filter ends, and the filter option value that holds it.
struct FilterEnd {
  std::size_t position = 0;
  OptionValue option;
};

// The end of the last occurrence of `filter` (by name) in the filter option
// values of the text, the last value first; nullopt for a segment that is no
// filter or a name found nowhere.
std::optional<FilterEnd> locateFilterEnd(const std::string& text, const FilterSegment& filter);
std::optional<std::size_t> findFilterEnd(const std::string& text, const FilterSegment& filter);

// The position where the last filter of the filter option in `text` ends (after
// its arguments and output labels): the first blank, double quote or ';' after
// it outside quoted arguments, or the end of the option's value (before a
// closing quote of the value). nullopt when the text has no filter.
std::optional<std::size_t> findLastFilterEnd(const std::string& text);

// As findLastFilterEnd for the last filter of the medium 'a' or 'v'.
std::optional<std::size_t> findLastFilterEndOfMedia(const std::string& text, char media);

// ---- Input and map references ----------------------------------------------------

// True when the text names input `position` as [i] or [i:stream] (or, with
// `withDot`, [i.) outside quoted arguments.
bool referencesInput(std::string_view text, int position, bool withDot);

// Renames the input references to `from` in a graph text: [from] becomes [to];
// [from:stream] (any stream specifier: a, v, v:0, a:1, s ...) becomes [to:stream],
// or [to] when `to` is a pad label. References inside quoted filter arguments
// are left alone. Numbers may be negative.
void relabelInputRefs(std::string& text, int from, int to);

// In every "-map ARG" of the text, replaces the leading input index of ARG
// (a whole number, after an optional '-') when it equals `from`: by `to`, or by
// the label "[to]" when `to` is a pad label (the stream part is then dropped:
// a pad label carries one stream). Nothing happens when `to` is negative.
// "-map 0:a:1" with 1 -> 0 stays "-map 0:a:1".
void relabelMapRefs(std::string& text, int from, int to);

// ---- Option texts ------------------------------------------------------------------

// Removes blanks, tabs, carriage returns and line feeds at both ends.
void trimJoinBlanks(std::string& text);

// Strips blanks and one pair of enclosing single quotes, as the option parser
// does with a filter option's value.
std::string bareGraph(std::string graph);

}  // namespace qel
