#include "operations/added_input_fragment.h"

#include <algorithm>

#include <fmt/format.h>

#include "commands/filter_options.h"
#include "commands/filter_text.h"
#include "commands/lavfi_parser.h"
#include "common/command_quote.h"
#include "common/text_edit.h"

namespace qel {

namespace {

// The part of a graph token between its enclosing double quotes (the whole
// token when it is not quoted): [begin, end).
struct Body {
  std::size_t begin = 0;
  std::size_t end = 0;
};

Body graphBody(const std::string& token) {
  if (token.size() >= 2 && token.front() == '"' && token.back() == '"') return {1, token.size() - 1};
  return {0, token.size()};
}

bool isLabel(std::string_view text) { return text.size() >= 3 && text.front() == '[' && text.back() == ']'; }

}  // namespace

std::vector<std::string> splitSegments(std::string_view text) { return splitAt(text, ';'); }

std::optional<std::size_t> findLastToken(const std::vector<std::string>& tokens, std::string_view token) {
  for (std::size_t i = tokens.size(); i > 0; --i) {
    if (tokens[i - 1] == token) return i - 1;
  }
  return std::nullopt;
}

std::size_t countTokens(const std::vector<std::string>& tokens, std::string_view token) {
  return static_cast<std::size_t>(std::count(tokens.begin(), tokens.end(), token));
}

bool hasToken(const std::vector<std::string>& tokens, std::string_view token) {
  return std::find(tokens.begin(), tokens.end(), token) != tokens.end();
}

std::string fragmentFault(const std::vector<std::string>& tokens) {
  if (!hasToken(tokens, "-i")) return "no -i input";
  if (tokens.empty()) return {};
  const std::string& last = tokens.back();
  if (last == "-i" || last == "-map" || last == "-filter_complex") return last + " without a value";
  return {};
}

std::string joinTokens(const std::vector<std::string>& tokens) {
  std::string joined;
  for (const std::string& token : tokens) {
    if (!joined.empty()) joined += ' ';
    joined += token;
  }
  return joined;
}

std::optional<std::string> quotedInput(std::string_view path) { return quotedInputArgument(path); }

std::string bracketed(std::string_view label) {
  if (!label.empty() && label.front() == '[') return std::string(label);
  return "[" + std::string(label) + "]";
}

bool replaceFirst(std::string& text, std::string_view from, std::string_view to) {
  return replaceFirstUnquoted(text, from, to);
}

void joinFilterGraph(LavfiParser& parser, std::string& graphToken, std::string& subgraph, char media) {
  const char other = media == 'a' ? 'v' : 'a';
  FilterOptions options;
  parseFilterOptions(options, "-filter_complex " + graphToken);

  std::string anchor;
  const FilterSegment own = lastFilterOfMedia(options, media);
  if (own.isFilter()) {
    if (own.outputPads.empty()) {
      // The stream leaves the graph unlabelled; label it where the filter's
      // text ends so the new chains can read it.
      anchor = fmt::format("[{}{}]", media, parser.takeLabel());
      const Body body = graphBody(graphToken);
      const std::string_view inside = std::string_view(graphToken).substr(body.begin, body.end - body.begin);
      const std::string& needle = own.args.empty() ? own.name : own.args;
      const std::size_t at = rfindUnquoted(inside, needle);
      const std::size_t insertAt = at == std::string_view::npos ? body.end : body.begin + at + needle.size();
      graphToken.insert(insertAt, anchor);
    } else {
      anchor = bracketed(own.outputPads.back());
    }
    replaceFirst(subgraph, std::string("[0:") + media + "]", anchor);
  } else {
    const FilterSegment theirs = lastFilterOfMedia(options, other);
    if (!theirs.outputPads.empty()) anchor = bracketed(theirs.outputPads.back());
  }

  const Body body = graphBody(graphToken);
  const std::string_view inside = std::string_view(graphToken).substr(body.begin, body.end - body.begin);
  std::size_t insertAt = body.end;
  if (isLabel(anchor)) {
    const std::size_t at = findUnquoted(inside, anchor);
    if (at != std::string_view::npos) insertAt = body.begin + at + anchor.size();
  }
  // An empty graph takes the chains alone, without a leading separator.
  const bool emptyGraph = body.end == body.begin;
  graphToken.insert(insertAt, emptyGraph ? subgraph : ";" + subgraph);
}

}  // namespace qel
