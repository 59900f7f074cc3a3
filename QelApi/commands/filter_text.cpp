#include "commands/filter_text.h"

#include <cstdint>
#include <cstdlib>

#include <fmt/format.h>

#include "commands/filter_options.h"
#include "common/command_quote.h"
#include "common/text_edit.h"

namespace qel {

namespace {

// The escaped form of one single quote inside a quoted source: close the quote,
// an escaped backslash and an escaped quote, reopen the quote.
constexpr std::string_view kEscapedQuote = "'\\\\\\''";

bool isAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// C:\..., C:/..., the escaped C\:/... and UNC \\server\... paths keep the
// Windows form, so texts written for Windows stay what they were.
bool looksLikeWindowsPath(std::string_view path) {
  if (path.size() >= 3 && isAsciiLetter(path[0]) && path[1] == ':' && (path[2] == '\\' || path[2] == '/')) {
    return true;
  }
  if (path.size() >= 4 && isAsciiLetter(path[0]) && path.substr(1, 3) == "\\:/") return true;
  return path.size() >= 2 && path[0] == '\\' && path[1] == '\\';
}

std::string escapeWindowsPath(std::string_view path) {
  if (path.size() >= 4 && path.substr(1, 3) == "\\:/") return std::string(path);
  std::string slashed(path);
  for (char& c : slashed) {
    if (c == '\\') c = '/';
  }
  if (slashed.find(":/") == 1) slashed.insert(1, 1, '\\');
  std::string out;
  out.reserve(slashed.size());
  for (char c : slashed) {
    if (c == '\'') {
      out += kEscapedQuote;
    } else {
      out += c;
    }
  }
  return out;
}

bool isFilterBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::string escapeNativePath(std::string_view path) {
  // The option parser trims unprotected white space at both ends of a value.
  std::size_t lead = 0;
  while (lead < path.size() && isFilterBlank(path[lead])) ++lead;
  std::size_t trailFrom = path.size();
  while (trailFrom > lead && isFilterBlank(path[trailFrom - 1])) --trailFrom;

  std::string out;
  out.reserve(path.size() + 8);
  for (std::size_t i = 0; i < path.size(); ++i) {
    const char c = path[i];
    switch (c) {
      case '\\': out += "\\\\"; break;
      case ':': out += "\\:"; break;
      case '=': out += "\\="; break;
      case '\'': out += kEscapedQuote; break;
      default:
        if (i < lead || i >= trailFrom) out += '\\';
        out += c;
        break;
    }
  }
  return out;
}

// Reads a run of 1 to 9 decimal digits at `pos`; false when there is none or
// the run is longer (a clock field that large is no time).
bool readBoundedInt(std::string_view text, std::size_t& pos, std::int64_t& value) {
  constexpr std::size_t kMaxDigits = 9;
  std::size_t end = pos;
  while (end < text.size() && isDigit(text[end])) ++end;
  if (end == pos || end - pos > kMaxDigits) return false;
  value = 0;
  for (std::size_t i = pos; i < end; ++i) value = value * 10 + (text[i] - '0');
  pos = end;
  return true;
}

bool expectChar(std::string_view text, std::size_t& pos, char c) {
  if (pos < text.size() && text[pos] == c) {
    ++pos;
    return true;
  }
  return false;
}

// Position just past the quoted source that starts at `begin` (the first
// character after the opening quote): the closing quote is the first single
// quote that does not begin an escaped quote. Returns the position of that
// closing quote, or the end of the text.
std::size_t findClosingQuote(std::string_view text, std::size_t begin) {
  std::size_t i = begin;
  while (i < text.size()) {
    if (text[i] == '\'') {
      if (text.substr(i, kEscapedQuote.size()) == kEscapedQuote) {
        i += kEscapedQuote.size();
        continue;
      }
      return i;
    }
    ++i;
  }
  return text.size();
}

}  // namespace

std::optional<std::string> escapeFilterPath(std::string_view path) {
  // The graph stands in double quotes, and the same path is written as an
  // "-i" input elsewhere: a path one of them could not hold is refused by both.
  if (!quotableInCommand(path)) return std::nullopt;
  if (looksLikeWindowsPath(path)) return escapeWindowsPath(path);
  return escapeNativePath(path);
}

void unescapeQuotes(std::string& text) {
  std::size_t pos = text.find(kEscapedQuote);
  if (pos == std::string::npos) return;
  std::string out;
  out.reserve(text.size());
  std::size_t from = 0;
  while (pos != std::string::npos) {
    out.append(text, from, pos - from);
    out += '\'';
    from = pos + kEscapedQuote.size();
    pos = text.find(kEscapedQuote, from);
  }
  out.append(text, from, std::string::npos);
  text = std::move(out);
}

std::string unescapeFilterPath(std::string_view escaped) {
  std::string quotes(escaped);
  unescapeQuotes(quotes);
  std::string out;
  out.reserve(quotes.size());
  for (std::size_t i = 0; i < quotes.size(); ++i) {
    if (quotes[i] == '\\' && i + 1 < quotes.size()) ++i;
    out += quotes[i];
  }
  return out;
}

std::vector<QuotedRange> quotedRanges(std::string_view text) {
  std::vector<QuotedRange> ranges;
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '\\') {
      i += 2;
      continue;
    }
    if (c == '"' && i >= 3 && text.substr(i - 3, 3) == "-i ") {
      const std::size_t close = text.find('"', i + 1);
      const std::size_t end = close == std::string_view::npos ? text.size() : close + 1;
      ranges.push_back({i, end});
      i = end;
      continue;
    }
    if (c == '\'' && i > 0 && (text[i - 1] == '=' || text[i - 1] == ':')) {
      const std::size_t close = findClosingQuote(text, i + 1);
      const std::size_t end = std::min(close + 1, text.size());
      ranges.push_back({i, end});
      i = end;
      continue;
    }
    ++i;
  }
  return ranges;
}

std::size_t findUnquoted(std::string_view text, std::string_view needle, std::size_t from) {
  if (needle.empty()) return std::string_view::npos;
  const std::vector<QuotedRange> ranges = quotedRanges(text);
  std::size_t at = text.find(needle, from);
  std::size_t r = 0;
  while (at != std::string_view::npos) {
    while (r < ranges.size() && ranges[r].end <= at) ++r;
    if (r == ranges.size() || at < ranges[r].begin) return at;
    at = text.find(needle, ranges[r].end);
  }
  return std::string_view::npos;
}

std::size_t rfindUnquoted(std::string_view text, std::string_view needle) {
  std::size_t last = std::string_view::npos;
  for (std::size_t at = findUnquoted(text, needle); at != std::string_view::npos;
       at = findUnquoted(text, needle, at + 1)) {
    last = at;
  }
  return last;
}

bool replaceFirstUnquoted(std::string& text, std::string_view from, std::string_view to) {
  const std::size_t at = findUnquoted(text, from);
  if (at == std::string::npos) return false;
  text.replace(at, from.size(), to);
  return true;
}

bool insertBeforeUnquoted(std::string& text, std::string_view label, std::string_view insertion) {
  const std::size_t at = findUnquoted(text, label);
  if (at == std::string::npos) return false;
  text.insert(at, insertion);
  return true;
}

TimeValue parseTimeValue(std::string text) {
  if (text.empty()) return {};
  trimSpaces(text);
  const std::string_view view(text);
  if (view.find(':') != std::string_view::npos) {
    std::size_t pos = 0;
    std::int64_t hours = 0;
    std::int64_t minutes = 0;
    std::int64_t seconds = 0;
    if (!readBoundedInt(view, pos, hours) || !expectChar(view, pos, ':') || !readBoundedInt(view, pos, minutes) ||
        !expectChar(view, pos, ':') || !readBoundedInt(view, pos, seconds)) {
      return {};
    }
    const std::int64_t whole = hours * 3600 + minutes * 60 + seconds;
    TimeValue result;
    if (view.find('.') != std::string_view::npos) {
      if (!expectChar(view, pos, '.')) return {};
      std::size_t end = pos;
      while (end < view.size() && isDigit(view[end])) ++end;
      if (end == pos) return {};
      result.secondsText = fmt::format("{}.{}", whole, view.substr(pos, end - pos));
      result.seconds = std::strtod(result.secondsText.c_str(), nullptr);
    } else {
      result.secondsText = fmt::format("{}", whole);
      result.seconds = static_cast<double>(whole);
    }
    return result;
  }
  TimeValue result;
  result.seconds = std::strtod(text.c_str(), nullptr);
  result.secondsText = text;
  return result;
}

std::vector<std::string> extractInputPaths(std::string_view text) {
  std::vector<std::string> paths;
  constexpr std::string_view kSource = "movie='";
  if (text.find(kSource) != std::string_view::npos) {
    // Each source's path runs from its opening quote to its closing one, read
    // the way ffmpeg reads it; the text in between is never searched for
    // further sources, so a path holding movie=' stays one path.
    std::size_t pos = text.find(kSource);
    while (pos != std::string_view::npos) {
      const std::size_t begin = pos + kSource.size();
      const std::size_t close = findClosingQuote(text, begin);
      std::string path = unescapeFilterPath(text.substr(begin, close - begin));
      bool seen = path.empty();
      for (const std::string& known : paths) {
        if (known == path) seen = true;
      }
      if (!seen) paths.push_back(std::move(path));
      if (close >= text.size()) break;
      pos = text.find(kSource, close + 1);
    }
    return paths;
  }
  if (text.find("-i ") != std::string_view::npos) {
    const std::vector<std::string> tokens = splitOptionTokens(text);
    for (std::size_t i = 0; i + 1 < tokens.size(); ++i) {
      if (tokens[i] == "-i" && !std::string_view(tokens[i + 1]).ends_with(".ass")) paths.push_back(tokens[i + 1]);
    }
  }
  return paths;
}

bool hasOutLabels(std::string_view graph, bool& hasVideo, bool& hasAudio) {
  hasVideo = false;
  hasAudio = false;
  const std::size_t out0 = findUnquoted(graph, "[out0]");
  if (out0 == std::string_view::npos) return false;
  if (findUnquoted(graph, "[out1]") != std::string_view::npos) {
    hasVideo = true;
    hasAudio = true;
    return true;
  }
  auto startsAt = [&](std::size_t pos, std::string_view what) { return graph.substr(pos, what.size()) == what; };
  std::size_t end = out0;
  while (end > 0) {
    const std::size_t semi = graph.rfind(';', end - 1);
    if (semi == std::string_view::npos) break;
    if (startsAt(semi, ";movie=") || startsAt(semi, ";[v")) {
      hasVideo = true;
      return true;
    }
    if (startsAt(semi, ";amovie=") || startsAt(semi, ";[a")) {
      hasAudio = true;
      return true;
    }
    if (semi == 0) return false;
    end = semi;
  }
  if (startsAt(0, "movie=")) {
    hasVideo = true;
    return true;
  }
  if (startsAt(0, "amovie=")) {
    hasAudio = true;
    return true;
  }
  return false;
}

}  // namespace qel
