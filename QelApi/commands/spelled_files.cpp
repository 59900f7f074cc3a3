#include "commands/spelled_files.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <utility>

#include "common/text_edit.h"

namespace qel {

namespace fs = std::filesystem;

namespace {

// Protocols that open the file named after them.
constexpr std::string_view kFileWrappers[] = {"file:", "async:", "cache:", "crypto:", "crypto+"};

// How deep names read through other names ("concatf:" lists naming lists)
// are followed.
constexpr int kMaxReadDepth = 4;

// A list file larger than this is no list a task would give; it is not read.
constexpr std::uintmax_t kMaxListBytes = 4u << 20;

constexpr std::string_view kTokenBlanks = " \n\t\r";

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// One token as ffmpeg's av_get_token reads it: leading blanks skipped; a
// backslash takes the next character as it is; single quotes keep what they
// hold; the token ends at a character of `terminators`; blanks at its end that
// no quote or backslash protects are dropped. `pos` is left on the terminator.
std::string readAvToken(std::string_view text, std::size_t& pos, std::string_view terminators) {
  while (pos < text.size() && kTokenBlanks.find(text[pos]) != std::string_view::npos) ++pos;
  std::string token;
  std::size_t kept = 0;  // length protected from the trailing-blank trim
  while (pos < text.size() && terminators.find(text[pos]) == std::string_view::npos) {
    const char c = text[pos++];
    if (c == '\\' && pos < text.size()) {
      token += text[pos++];
      kept = token.size();
    } else if (c == '\'') {
      while (pos < text.size() && text[pos] != '\'') token += text[pos++];
      if (pos < text.size()) {
        ++pos;
        kept = token.size();
      }
    } else {
      token += c;
    }
  }
  while (token.size() > kept && kTokenBlanks.find(token.back()) != std::string_view::npos) token.pop_back();
  return token;
}

}  // namespace

std::optional<std::string> readListText(std::string_view spelled) {
  const std::string path(fileBehindFFmpegPath(spelled));
  std::error_code ec;
  if (!fs::is_regular_file(path, ec) || ec) return std::nullopt;
  const std::uintmax_t size = fs::file_size(path, ec);
  if (ec || size > kMaxListBytes) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

namespace {

// Sorts sequence files by the number in their field.
struct NumberedFile {
  std::string number;  // the field's digits without leading zeros
  std::string path;
};

void addReads(std::string_view spelled, std::vector<std::string>& reads, int depth, bool sequences) {
  if (depth > kMaxReadDepth) return;
  const std::string_view behind = fileBehindFFmpegPath(spelled);
  if (behind.starts_with("concat:")) {
    for (const std::string& member : splitAt(behind.substr(7), '|')) {
      if (!member.empty()) addReads(member, reads, depth + 1, false);
    }
    return;
  }
  if (behind.starts_with("concatf:")) {
    const std::string_view list = behind.substr(8);
    addReads(list, reads, depth + 1, false);
    if (const std::optional<std::string> text = readListText(list)) {
      for (const std::string& name : concatfListNames(*text)) addReads(name, reads, depth + 1, false);
    }
    return;
  }
  appendIfAbsent(reads, std::string(behind));
  if (sequences) {
    for (const std::string& file : existingSequenceFiles(behind)) appendIfAbsent(reads, file);
  }
}

}  // namespace

std::string_view fileBehindFFmpegPath(std::string_view spelled) {
  bool stripped = true;
  while (stripped) {
    stripped = false;
    for (std::string_view wrapper : kFileWrappers) {
      if (spelled.starts_with(wrapper)) {
        spelled.remove_prefix(wrapper.size());
        stripped = true;
      }
    }
    // subfile,,start,N,end,M,,:path reads a part of path.
    if (spelled.starts_with("subfile,")) {
      const std::size_t colon = spelled.find(':');
      if (colon == std::string_view::npos) break;
      spelled.remove_prefix(colon + 1);
      stripped = true;
    }
  }
  return spelled;
}

std::optional<FramePattern> framePattern(std::string_view name) {
  // The reading of ffmpeg's frame file names: '%' digits 'd' is the field,
  // '%' digits '%' a literal '%', anything else after '%' no valid name.
  FramePattern pattern;
  bool found = false;
  std::string* part = &pattern.prefix;
  std::size_t i = 0;
  while (i < name.size()) {
    const char c = name[i++];
    if (c != '%') {
      *part += c;
      continue;
    }
    int width = 0;
    while (i < name.size() && isDigit(name[i])) {
      if (width > 9999) return std::nullopt;
      width = width * 10 + (name[i++] - '0');
    }
    if (i >= name.size()) return std::nullopt;
    const char kind = name[i++];
    if (kind == '%') {
      *part += '%';
    } else if (kind == 'd' && !found) {
      found = true;
      pattern.width = width;
      part = &pattern.suffix;
    } else {
      return std::nullopt;
    }
  }
  if (!found) return std::nullopt;
  return pattern;
}

bool matchesFramePattern(const FramePattern& pattern, std::string_view name) {
  if (name.size() <= pattern.prefix.size() + pattern.suffix.size()) return false;
  if (!name.starts_with(pattern.prefix) || !name.ends_with(pattern.suffix)) return false;
  const std::string_view digits =
      name.substr(pattern.prefix.size(), name.size() - pattern.prefix.size() - pattern.suffix.size());
  if (!std::all_of(digits.begin(), digits.end(), isDigit)) return false;
  // A number is zero-padded to the width; a longer one has no leading zero.
  const std::size_t width = static_cast<std::size_t>(std::max(pattern.width, 1));
  if (digits.size() < width) return false;
  return digits.size() == width || digits.front() != '0';
}

std::vector<std::string> existingSequenceFiles(std::string_view spelled) {
  const std::string_view behind = fileBehindFFmpegPath(spelled);
  const std::optional<FramePattern> pattern = framePattern(behind);
  if (!pattern || contains(pattern->suffix, "/")) return {};
  const std::size_t slash = pattern->prefix.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string() : pattern->prefix.substr(0, slash + 1);
  const FramePattern namePattern{pattern->prefix.substr(folder.size()), pattern->width, pattern->suffix};
  const std::string protocol(spelled.substr(0, spelled.size() - behind.size()));

  std::vector<NumberedFile> found;
  std::error_code ec;
  fs::directory_iterator entries(folder.empty() ? fs::path(".") : fs::path(folder), ec);
  if (ec) return {};
  for (const fs::directory_entry& entry : entries) {
    const std::string name = entry.path().filename().string();
    if (!matchesFramePattern(namePattern, name)) continue;
    std::string number =
        name.substr(namePattern.prefix.size(), name.size() - namePattern.prefix.size() - namePattern.suffix.size());
    number.erase(0, std::min(number.find_first_not_of('0'), number.size() - 1));
    found.push_back({std::move(number), protocol + folder + name});
  }
  std::sort(found.begin(), found.end(), [](const NumberedFile& a, const NumberedFile& b) {
    if (a.number.size() != b.number.size()) return a.number.size() < b.number.size();
    if (a.number != b.number) return a.number < b.number;
    return a.path < b.path;
  });
  std::vector<std::string> files;
  for (NumberedFile& file : found) files.push_back(std::move(file.path));
  return files;
}

std::vector<std::string> filesReadThrough(std::string_view spelled) {
  std::vector<std::string> reads;
  addReads(spelled, reads, 0, true);
  return reads;
}

std::vector<std::string> concatfListNames(std::string_view text) {
  std::vector<std::string> names;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::string name = readAvToken(text, pos, "\r\n");
    if (pos < text.size()) ++pos;  // the line's terminator
    if (!name.empty()) names.push_back(std::move(name));
  }
  return names;
}

std::vector<std::string> ffconcatListFiles(std::string_view text, std::string_view listPath) {
  std::vector<std::string> files;
  const fs::path folder = fs::path(std::string(fileBehindFFmpegPath(listPath))).parent_path();
  for (const std::string& raw : splitAt(text, '\n')) {
    std::string_view line(raw);
    while (!line.empty() && kTokenBlanks.find(line.front()) != std::string_view::npos) line.remove_prefix(1);
    if (!line.starts_with("file") || line.size() < 5 || kTokenBlanks.find(line[4]) == std::string_view::npos) {
      continue;
    }
    std::size_t pos = 5;
    const std::string name = readAvToken(line, pos, kTokenBlanks);
    if (name.empty()) continue;
    const std::string_view plain = fileBehindFFmpegPath(name);
    if (plain.size() != name.size() || plain.starts_with("/") || folder.empty()) {
      files.push_back(name);
    } else {
      files.push_back((folder / std::string(plain)).string());
    }
  }
  return files;
}

}  // namespace qel
