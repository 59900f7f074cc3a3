// Filter-text helpers: the small text functions that the editing operations and
// the command assembly share when they write or read lavfi filter graphs. A
// path is escaped for use inside movie='...', amovie='...' and subtitles='...',
// the escapes are undone again to find a graph's media files, a time text is
// read as seconds, and a graph's outputs are told apart as video or audio.
//
// Escaped path form. Inside such a quoted source a path passes two of ffmpeg's
// parsers: the graph parser (which keeps quoted text and takes \x as x outside
// quotes) and the filter's option parser (which takes \x as x and stops at ':'
// and '='). So a native path has `\` written `\\`, `:` written `\:`, `=`
// written `\=` and `'` written `'\\\''` (close the quote, an escaped backslash
// and an escaped quote for the two levels, reopen the quote); a blank at either
// end is written `\ ` because the option parser would trim it. Blanks inside,
// commas, semicolons and brackets need nothing. A Windows-looking path (a drive
// letter as in C:\ or C:/, the escaped form C\:/, or a UNC path \\server) keeps
// the Windows form: backslashes become forward slashes, the drive colon is
// written \: and a quote '\\\''.
//
// A path holding a double quote can never stand inside the double-quoted graph
// of a command text, so it has no escaped form: escapeFilterPath refuses it.
//
// Thread safety: free functions without state; any thread may call them.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qel {

// A time read from a request: seconds, and the same time as the text an
// operation writes into its filter (for example into trim=). An unreadable or
// empty time is 0 seconds with an empty text.
struct TimeValue {
  double seconds = 0.0;
  std::string secondsText;

  bool operator==(const TimeValue&) const = default;
};

// The escaped form of `path` for the single quotes of movie='...',
// amovie='...' and subtitles='...' (see above). A path already in the escaped
// Windows form (\:/ at index 1) is returned unchanged. Returns nullopt for a
// path that is not quotableInCommand (common/command_quote.h): such a path
// cannot be written into a command text, and the caller must refuse the request.
std::optional<std::string> escapeFilterPath(std::string_view path);

// Replaces, left to right, every non-overlapping occurrence of the six
// characters '\\\'' by one single quote.
void unescapeQuotes(std::string& text);

// Undoes every escape of escapeFilterPath, whatever the path looks like: each
// '\\\'' becomes ', then each \x becomes x (a lone trailing backslash stays).
std::string unescapeFilterPath(std::string_view escaped);

// Reads a time text: "h:m:s" gives whole seconds, "h:m:s.f" gives the whole
// seconds and the fraction digits as written, a text without ':' is read as a
// number (its leading numeric part) and keeps its trimmed text. White space
// round the text is ignored. Each clock field is a run of at most 9 decimal
// digits; a longer or missing field makes the text unreadable (0, "").
TimeValue parseTimeValue(std::string text);

// The media paths a filter graph or a command fragment names, in the order
// found:
// - a text containing movie=' (also amovie='): the quoted path of each source,
//   its escapes undone, each distinct path once;
// - else a text containing "-i ": the token after every "-i" token (a double
//   quoted path loses its quotes), except tokens ending in ".ass"; a path given
//   twice is returned twice;
// - else nothing.
std::vector<std::string> extractInputPaths(std::string_view text);

// Tells what the graph's output carries. Clears both flags; returns false when
// the graph holds no "[out0]". With "[out0]" and "[out1]" both flags are set.
// With "[out0]" alone the chain that ends there decides: one beginning with
// movie= or [v is video, amovie= or [a is audio; anything else returns false.
bool hasOutLabels(std::string_view graph, bool& hasVideo, bool& hasAudio);

// ---- Labels and quoted text ------------------------------------------------------
// A label such as [out0] is graph syntax only outside quoted text: inside a
// quoted filter argument (movie='...', amovie='...', subtitles='...',
// text='...') or a double-quoted "-i" path it is part of a name, and a file
// called br/[out0].mp4 must never have its name edited as a label.

// A half-open range [begin, end) of a text, quotes included.
struct QuotedRange {
  std::size_t begin = 0;
  std::size_t end = 0;
};

// The quoted ranges of a graph, option or command text, in text order:
// - a single quote right after '=' or ':' opens a filter argument that runs to
//   the first single quote not beginning an escaped quote '\'';
// - a double quote right after an "-i " opens a path that runs to the next
//   double quote.
// Outside them a backslash escapes the character after it.
std::vector<QuotedRange> quotedRanges(std::string_view text);

// The first occurrence of `needle` at or after `from` that begins outside every
// quoted range; npos when there is none.
std::size_t findUnquoted(std::string_view text, std::string_view needle, std::size_t from = 0);

// The last such occurrence; npos when there is none.
std::size_t rfindUnquoted(std::string_view text, std::string_view needle);

// Replaces the first unquoted `from` by `to`; false when there is none.
bool replaceFirstUnquoted(std::string& text, std::string_view from, std::string_view to);

// Inserts `insertion` right before the first unquoted `label`; false when
// there is none.
bool insertBeforeUnquoted(std::string& text, std::string_view label, std::string_view insertion);

}  // namespace qel
