// Token walks over a command fragment, and the joining of a new filter graph
// into it, shared by the operations that add inputs to an earlier step's
// fragment (add-audio mixes audio in, add-video overlays video).
//
// A fragment is a piece of an ffmpeg command line such as
//   -i "a.mp4" -filter_complex "[0:v]scale=640:360[v]" -map [v]
// split with splitWhitespace, so a double-quoted token keeps its quotes. The
// walks here never read past the last token: an option that needs a value
// ("-i", "-map", "-filter_complex") standing last, or a fragment without any
// "-i", is reported as unusable, and the operation refuses the request.
//
// Thread safety: free functions over their arguments; joinFilterGraph takes
// label numbers from the parser, so it runs under the engine mutex like every
// operation.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qel {

class LavfiParser;

// Splits at every ";", keeping empty pieces (two ";" in a row give one) and
// trimming nothing.
std::vector<std::string> splitSegments(std::string_view text);

// Index of the last token equal to `token`; nullopt when there is none.
std::optional<std::size_t> findLastToken(const std::vector<std::string>& tokens, std::string_view token);

// Number of tokens equal to `token`.
std::size_t countTokens(const std::vector<std::string>& tokens, std::string_view token);

// True when some token equals `token`.
bool hasToken(const std::vector<std::string>& tokens, std::string_view token);

// Why a fragment cannot be extended: "" when it can. It cannot when it has no
// "-i" token, or when "-i", "-map" or "-filter_complex" is its last token.
std::string fragmentFault(const std::vector<std::string>& tokens);

// The tokens joined with single blanks.
std::string joinTokens(const std::vector<std::string>& tokens);

// " -i \"path\"", or nullopt when the path cannot stand inside the double
// quotes of a command text (quotedInputArgument, common/command_quote.h).
std::optional<std::string> quotedInput(std::string_view path);

// "[label]" for a bare label, the label itself when it is already bracketed.
std::string bracketed(std::string_view label);

// Joins `subgraph` (chains that read "[0:a]" or "[0:v]" for the base's stream
// of `media`, 'a' or 'v') into the filter graph held by `graphToken` (the
// token after "-filter_complex", quoted or not):
// - the graph already has a filter of `media`: S is the last one. Its last
//   output label is the anchor; when it has none, a new label "[a" N "]" or
//   "[v" N "]" (N from the parser) is written right after the last occurrence
//   of S's arguments (of its name when it has none; at the end of the graph
//   when neither occurs) and becomes the anchor. The first "[0:a]" ("[0:v]")
//   of `subgraph` becomes the anchor, so the new chains continue the stream
//   the graph already makes instead of reading the input a second time;
// - otherwise the anchor is the last output label of the graph's last filter
//   of the other media, and `subgraph` keeps its input label.
// ";" + subgraph goes right after the first occurrence of a label anchor; an
// anchor that is no label, or that does not occur, puts it at the end of the
// graph instead (inside its closing quote), where a new chain is always valid.
void joinFilterGraph(LavfiParser& parser, std::string& graphToken, std::string& subgraph, char media);

// Replaces the first occurrence of `from` in `text` by `to`; false when absent.
bool replaceFirst(std::string& text, std::string_view from, std::string_view to);

}  // namespace qel
