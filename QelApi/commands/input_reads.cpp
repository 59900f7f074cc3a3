#include "commands/input_reads.h"

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <utility>

#include <fmt/format.h>

#include "commands/spelled_files.h"
#include "common/ascii_case.h"
#include "common/text_edit.h"

namespace qel {

namespace fs = std::filesystem;

namespace {

// Lists naming lists are followed this deep; deeper ones are refused.
constexpr int kMaxListDepth = 4;

// ffmpeg probes with at most this much of a file.
constexpr std::size_t kProbeBytes = 1u << 20;

// Forced formats that read their own data and no other file. Formats whose
// files are followed here (concat, hls, lavfi, image2) come on top; any other
// forced format is refused, since what it opens is not known.
constexpr std::array<std::string_view, 61> kOwnDataFormats{
    "mov",   "mp4",    "m4a",      "3gp",          "3g2",    "mj2",    "matroska",  "webm",  "avi",
    "flv",   "mpegts", "mpeg",     "mpegvideo",    "mp3",    "wav",    "w64",       "flac",  "ogg",
    "aac",   "ac3",    "eac3",     "dts",          "truehd", "h264",   "hevc",      "h261",  "h263",
    "m4v",   "mjpeg",  "rawvideo", "yuv4mpegpipe", "asf",    "wtv",    "rm",        "nut",   "dv",
    "mxf",   "gif",    "apng",     "srt",          "ass",    "webvtt", "s16le",     "s16be", "s24le",
    "s32le", "f32le",  "f32be",    "f64le",        "u8",     "s8",     "mulaw",     "alaw",  "aiff",
    "amr",   "au",     "caf",      "wv",           "ape",    "mpc",    "image2pipe"};

bool isOwnDataFormat(std::string_view format) {
  return std::find(kOwnDataFormats.begin(), kOwnDataFormats.end(), format) != kOwnDataFormats.end();
}

bool isFollowedFormat(std::string_view format) {
  return format == "concat" || format == "hls" || format == "lavfi" || format == "image2";
}

// The start of a file as ffmpeg's probes see it: a C string, so it ends at
// the first NUL byte.
std::string probeText(const std::string& file) {
  std::error_code ec;
  if (!fs::is_regular_file(file, ec) || ec) return {};
  std::ifstream in(file, std::ios::binary);
  std::string text;
  std::array<char, 4096> chunk{};
  while (in && text.size() < kProbeBytes) {
    in.read(chunk.data(), chunk.size());
    const std::string_view read(chunk.data(), static_cast<std::size_t>(in.gcount()));
    const std::size_t nul = read.find('\0');
    text.append(read.substr(0, nul));
    if (nul != std::string_view::npos) break;
  }
  return text;
}

bool isKeyChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
         c == '/' || c == '.';
}

constexpr std::string_view kBlanks = " \n\t\r";

void skipBlanks(std::string_view text, std::size_t& pos) {
  while (pos < text.size() && kBlanks.find(text[pos]) != std::string_view::npos) ++pos;
}

// Skips "[label]" pads; false when a label is not closed.
bool skipLabels(std::string_view graph, std::size_t& pos) {
  skipBlanks(graph, pos);
  while (pos < graph.size() && graph[pos] == '[') {
    const std::size_t close = graph.find(']', pos);
    if (close == std::string_view::npos) return false;
    pos = close + 1;
    skipBlanks(graph, pos);
  }
  return true;
}

// A movie source's options: "key=value" pairs and values by position (the
// file name first, then the format) separated by ':', as a filter reads them.
MovieSource readMovieOptions(std::string_view args) {
  MovieSource source;
  std::size_t pos = 0;
  int position = 0;
  bool keyed = false;
  while (pos < args.size()) {
    std::size_t key = pos;
    skipBlanks(args, key);
    const std::size_t keyBegin = key;
    while (key < args.size() && isKeyChar(args[key])) ++key;
    const std::size_t keyEnd = key;
    skipBlanks(args, key);
    std::string name;
    if (key < args.size() && args[key] == '=') {
      name = std::string(args.substr(keyBegin, keyEnd - keyBegin));
      pos = key + 1;
      keyed = true;
    } else if (keyed) {
      break;  // ffmpeg takes no value by position after a key
    } else {
      name = position == 0 ? "filename" : position == 1 ? "format_name" : "";
      ++position;
    }
    std::string value = readFFmpegToken(args, pos, ":");
    if (pos < args.size()) ++pos;
    if (name == "filename") source.filename = std::move(value);
    if (name == "format_name" || name == "f") source.format = std::move(value);
  }
  return source;
}

// Why ffmpeg's image sequence reader would read other files than the guard
// finds for `file` (existingSequenceFiles), or nullopt. Detected by name, the
// reader takes a name with one field it can fill; forced ("-f image2"), it
// also takes any other name with a '%', and reads a cut of it.
std::optional<std::string> sequenceReadRefusal(std::string_view file, bool forced) {
  const FrameFields fields = frameFields(file);
  const bool oneField = fields.count == 1 && !fields.stopped;
  if (oneField && fields.widest > kFFmpegFieldWidthLimit) {
    return fmt::format("frame-number field wider than the {} characters ffmpeg fills", kFFmpegFieldWidthLimit);
  }
  if (oneField) {
    const std::optional<FramePattern> pattern = framePattern(file);
    if (pattern && contains(pattern->suffix, "/")) return std::string("frame-number field in a folder of the name");
  }
  if (forced && fields.percent && !oneField) {
    return std::string("'%' that ffmpeg's image sequence reader reads as no single frame-number field");
  }
  return std::nullopt;
}

void refuse(InputReads& reads, std::string_view name, std::string reason) {
  if (!reads.refusal) reads.refusal = GuardRefusal{std::string(name), std::move(reason)};
}

void addInput(std::string_view name, std::string_view format, InputReads& reads, int depth);

void addListed(const std::vector<std::string>& names, InputReads& reads, int depth) {
  for (const std::string& name : names) addInput(name, "", reads, depth + 1);
}

void addInput(std::string_view name, std::string_view givenFormat, InputReads& reads, int depth) {
  if (reads.refusal) return;
  // ffmpeg finds a format by its name whatever its case ("-f CONCAT").
  const std::string format = asciiLowerCopy(givenFormat);
  if (depth > kMaxListDepth) {
    refuse(reads, name, "input names lists nested too deep to be checked");
    return;
  }
  if (format == "lavfi") {
    for (const MovieSource& source : movieSources(name)) addInput(source.filename, source.format, reads, depth + 1);
    return;
  }
  if (!format.empty() && !isFollowedFormat(format) && !isOwnDataFormat(format)) {
    refuse(reads, name, fmt::format("input format \"{}\" may read files that cannot be checked", format));
    return;
  }
  const ProtocolReads opened = protocolReads(name);
  if (opened.unfollowed) {
    refuse(reads, *opened.unfollowed,
           fmt::format("input opened through the protocol \"{}\", whose reads cannot be checked",
                       ffmpegProtocol(*opened.unfollowed)));
    return;
  }
  for (const std::string& file : opened.files) appendIfAbsent(reads.files, file);
  for (const std::string& file : opened.data) {
    if (format.empty() || format == "image2") {
      if (std::optional<std::string> reason = sequenceReadRefusal(file, format == "image2")) {
        refuse(reads, file, std::move(*reason));
        return;
      }
      for (const std::string& frame : existingSequenceFiles(file)) appendIfAbsent(reads.files, frame);
    }
    const std::string detected = format.empty() ? formatByContent(file) : std::string(format);
    if (detected == "concat") {
      if (const std::optional<std::string> text = readListText(file))
        addListed(ffconcatListFiles(*text, file), reads, depth);
    } else if (detected == "hls") {
      if (const std::optional<std::string> text = readListText(file))
        addListed(playlistNames(*text, file), reads, depth);
    } else if (!detected.empty() && detected != "image2" && !isOwnDataFormat(detected)) {
      refuse(reads, file, fmt::format("input format \"{}\" reads files that cannot be checked", detected));
    }
    if (reads.refusal) return;
  }
}

}  // namespace

InputReads inputReads(std::string_view name, std::string_view format) {
  InputReads reads;
  addInput(name, format, reads, 0);
  return reads;
}

std::string formatByContent(const std::string& file) {
  const std::string text = probeText(file);
  if (text.starts_with("ffconcat version 1.0")) return "concat";
  // ffmpeg also wants one of a few tags; any "#EXTM3U" file is read as a
  // playlist here, which reads more names, never fewer.
  if (text.starts_with("#EXTM3U")) return "hls";
  if (text.starts_with("# VobSub index file")) return "vobsub";
  if (text.starts_with("v=")) return "sdp";
  const std::string lower = asciiLowerCopy(text);
  if (contains(lower, "<mpd")) return "dash";
  if (contains(lower, "<compositionplaylist")) return "imf";
  return {};
}

std::vector<MovieSource> movieSources(std::string_view graph) {
  std::vector<MovieSource> sources;
  std::size_t pos = 0;
  while (pos < graph.size()) {
    const std::size_t begin = pos;
    if (!skipLabels(graph, pos)) break;
    const std::string filter = readFFmpegToken(graph, pos, "=,;[");
    std::string args;
    if (pos < graph.size() && graph[pos] == '=') {
      ++pos;
      args = readFFmpegToken(graph, pos, "[],;");
    }
    const std::string_view kind = std::string_view(filter).substr(0, filter.find('@'));
    if (kind == "movie" || kind == "amovie") sources.push_back(readMovieOptions(args));
    if (!skipLabels(graph, pos)) break;
    if (pos < graph.size()) ++pos;  // the ',' or ';' after the filter
    if (pos == begin) ++pos;
  }
  return sources;
}

std::vector<std::string> playlistNames(std::string_view text, std::string_view playlistPath) {
  std::vector<std::string> names;
  const fs::path folder = fs::path(std::string(fileBehindFFmpegPath(playlistPath))).parent_path();
  for (std::string line : splitAt(text, '\n')) {
    trimSpaces(line);
    if (line.empty()) continue;
    if (!line.starts_with("#")) {
      names.push_back(nameFromList(line, folder));
      continue;
    }
    constexpr std::string_view kUri = "URI=\"";
    const std::size_t uri = line.find(kUri);
    if (!line.starts_with("#EXT") || uri == std::string_view::npos) continue;
    const std::size_t begin = uri + kUri.size();
    const std::size_t end = line.find('"', begin);
    if (end == std::string_view::npos || end == begin) continue;
    names.push_back(nameFromList(line.substr(begin, end - begin), folder));
  }
  return names;
}

}  // namespace qel
