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

// How deep names read through other names ("concatf:" lists naming lists)
// are followed.
constexpr int kMaxReadDepth = 4;

// A list file larger than this is no list a task would give; it is not read.
constexpr std::uintmax_t kMaxListBytes = 4u << 20;

constexpr std::string_view kTokenBlanks = " \n\t\r";

// The characters of a URL scheme, as ffmpeg's protocol lookup takes them.
constexpr std::string_view kSchemeChars = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+-.";

// The name that "subfile,<sep>key<sep>value<sep>...<sep><sep>:name" opens.
// ffmpeg takes the character after "subfile," as the separator, reads
// key/value pairs up to an empty key and drops "subfile:" from what follows;
// any other shape is no name it opens.
std::optional<std::string_view> subfileTarget(std::string_view spelled) {
  if (!spelled.starts_with("subfile,") || spelled.size() < 9) return std::nullopt;
  const char separator = spelled[8];
  std::size_t pos = 9;
  std::size_t key = spelled.find(separator, pos);
  while (key != std::string_view::npos && pos < key) {
    const std::size_t value = spelled.find(separator, key + 1);
    if (value == std::string_view::npos) return std::nullopt;
    pos = value + 1;
    key = spelled.find(separator, pos);
  }
  if (key != pos) return std::nullopt;
  const std::string_view rest = spelled.substr(key + 1);
  if (!rest.starts_with(':')) return std::nullopt;
  return rest.substr(1);
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::string readFFmpegToken(std::string_view text, std::size_t& pos, std::string_view terminators) {
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

void addProtocolReads(std::string_view spelled, ProtocolReads& reads, int depth) {
  if (depth > kMaxReadDepth) {
    if (!reads.unfollowed) reads.unfollowed = std::string(spelled);
    return;
  }
  const OpenedName opened = openedName(spelled);
  if (opened.protocol == "concat") {
    for (const std::string& member : splitAt(opened.rest, '|')) {
      if (!member.empty()) addProtocolReads(member, reads, depth + 1);
    }
    return;
  }
  if (opened.protocol == "concatf") {
    const OpenedName list = openedName(opened.rest);
    if (list.protocol != "file") {
      if (!reads.unfollowed) reads.unfollowed = std::string(opened.rest);
      return;
    }
    appendIfAbsent(reads.files, std::string(list.rest));
    if (const std::optional<std::string> text = readListText(list.rest)) {
      for (const std::string& name : concatfListNames(*text)) addProtocolReads(name, reads, depth + 1);
    }
    return;
  }
  if (opened.protocol != "file") {
    if (!reads.unfollowed) reads.unfollowed = std::string(spelled);
    return;
  }
  if (opened.rest.empty()) return;
  appendIfAbsent(reads.files, std::string(opened.rest));
  appendIfAbsent(reads.data, std::string(opened.rest));
}

}  // namespace

std::string_view ffmpegProtocol(std::string_view name) {
  if (name == "-") return "pipe";
  const std::size_t schemeEnd = name.find_first_not_of(kSchemeChars);
  if (schemeEnd != std::string_view::npos && name[schemeEnd] == ':') return name.substr(0, schemeEnd);
  // The one protocol whose name is followed by options: "subfile,<options>:".
  if (name.starts_with("subfile,") && name.find(':', 8) != std::string_view::npos) return "subfile";
  return "file";
}

OpenedName openedName(std::string_view spelled) {
  for (int depth = 0; depth <= kMaxReadDepth; ++depth) {
    const std::string_view protocol = ffmpegProtocol(spelled);
    if (protocol == "file") {
      // The file protocol drops one "file:"; a second one is part of the path.
      if (spelled.starts_with("file:")) spelled.remove_prefix(5);
      return {"file", spelled};
    }
    if (protocol == "async" || protocol == "cache" || protocol == "crypto") {
      spelled.remove_prefix(protocol.size() + 1);
    } else if (protocol.starts_with("crypto+")) {
      // crypto takes a nested scheme: "crypto+file:/x" opens "file:/x".
      spelled.remove_prefix(7);
    } else if (protocol == "subfile") {
      const std::optional<std::string_view> nested = subfileTarget(spelled);
      if (!nested) return {"subfile", spelled};
      spelled = *nested;
    } else if (protocol == "concat" || protocol == "concatf") {
      return {protocol, spelled.substr(protocol.size() + 1)};
    } else {
      return {protocol, spelled};
    }
  }
  return {ffmpegProtocol(spelled), spelled};
}

std::string_view fileBehindFFmpegPath(std::string_view spelled) {
  const OpenedName opened = openedName(spelled);
  return opened.protocol == "file" ? opened.rest : spelled;
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

FrameFields frameFields(std::string_view name) {
  // Widths past this are all refused alike; the cap only keeps the count from
  // overflowing.
  constexpr int kWidthCap = 1 << 20;
  FrameFields fields;
  std::size_t i = 0;
  while (i < name.size()) {
    if (name[i++] != '%') continue;
    fields.percent = true;
    int width = 0;
    while (i < name.size() && isDigit(name[i])) width = std::min(width * 10 + (name[i++] - '0'), kWidthCap);
    const char kind = i < name.size() ? name[i++] : '\0';
    if (kind == 'd') {
      ++fields.count;
      fields.widest = std::max(fields.widest, width);
    } else if (kind != '%') {
      fields.stopped = true;
      return fields;
    }
  }
  return fields;
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

ProtocolReads protocolReads(std::string_view spelled) {
  ProtocolReads reads;
  addProtocolReads(spelled, reads, 0);
  return reads;
}

std::vector<std::string> filesReadThrough(std::string_view spelled) {
  std::vector<std::string> reads = protocolReads(spelled).files;
  const OpenedName opened = openedName(spelled);
  if (opened.protocol == "file") {
    for (const std::string& file : existingSequenceFiles(opened.rest)) appendIfAbsent(reads, file);
  }
  return reads;
}

std::vector<std::string> concatfListNames(std::string_view text) {
  std::vector<std::string> names;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::string name = readFFmpegToken(text, pos, "\r\n");
    if (pos < text.size()) ++pos;  // the line's terminator
    if (!name.empty()) names.push_back(std::move(name));
  }
  return names;
}

std::string nameFromList(const std::string& name, const std::filesystem::path& folder) {
  // A name with a scheme is a URL of its own; any other is relative to the list.
  const bool urlOfItsOwn = ffmpegProtocol(name) != "file" || name.starts_with("file:");
  if (urlOfItsOwn || name.starts_with("/") || folder.empty()) return name;
  return (folder / name).string();
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
    const std::string name = readFFmpegToken(line, pos, kTokenBlanks);
    if (name.empty()) continue;
    files.push_back(nameFromList(name, folder));
  }
  return files;
}

}  // namespace qel
