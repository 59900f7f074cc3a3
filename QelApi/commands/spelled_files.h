// The files behind a name as ffmpeg reads it. ffmpeg does not take every name
// as one plain file:
// - a name that starts with a URL scheme and ':' is opened through that
//   protocol; some lead to a file underneath ("file:", dropped once,
//   "async:", "cache:", "crypto:", "subfile,<options>:" with any separator
//   character), others to no file of ours ("tee:", "pipe:", "http:" ...);
// - "concat:a|b" reads each of a and b, and "concatf:list" reads the list file
//   and every name listed in it, one a line;
// - a name holding a frame-number field ("%d", "%03d": '%', optional digits,
//   'd'; "%%" is a literal '%') is an image sequence: as an output it may
//   write any file the field's numbers give (p1.png, p2.png ...), as an input
//   it reads every such file there is.
// A name with a frame-number field counts as a sequence whatever its
// container: this errs on the side of seeing more files than ffmpeg touches.
//
// Thread safety: free functions; they read the file system and nothing else.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qel {

// The protocol ffmpeg opens a name with, found as its URL lookup finds it: a
// run of scheme characters followed by ':' ("tee:", "pipe:", "crypto+file:"),
// "subfile" for "subfile,<options>:...", "pipe" for "-", and "file" for any
// other name (a plain path).
std::string_view ffmpegProtocol(std::string_view name);

// A name with the protocols that open one nested name peeled off ("async:",
// "cache:", "crypto:", "crypto+", "subfile,...:"; "file:" once, as ffmpeg's
// file protocol drops it once). `protocol` is where peeling stopped: "file"
// with `rest` the path, "concat" or "concatf" with `rest` the text after the
// prefix, or any other protocol with `rest` the name from there on. `rest` is
// always a tail of the name.
struct OpenedName {
  std::string_view protocol;
  std::string_view rest;
};
OpenedName openedName(std::string_view spelled);

// The file a path spelled for ffmpeg opens: the path without the protocol
// prefixes that lead to a plain file. Other texts are returned unchanged.
std::string_view fileBehindFFmpegPath(std::string_view spelled);

// A name with one frame-number field: prefix, the field, suffix. The prefix
// and suffix hold the name's text with "%%" read as '%'.
struct FramePattern {
  std::string prefix;
  int width = 0;  // the field's digits: numbers are zero-padded to this width
  std::string suffix;

  bool operator==(const FramePattern&) const = default;
};

// The frame-number field of a name, or nullopt when it has none or is no valid
// pattern (a second field, or a '%' followed by anything else).
std::optional<FramePattern> framePattern(std::string_view name);

// True when the pattern, with some number in its field, gives exactly `name`.
bool matchesFramePattern(const FramePattern& pattern, std::string_view name);

// ffmpeg fills a frame-number field with at most this many characters: a wider
// field is cut to them, so "%30d" gives nineteen zeros for every frame.
inline constexpr int kFFmpegFieldWidthLimit = 19;

// The '%' of a name as ffmpeg's frame name builder reads them (the image
// sequence muxer and demuxer): "%<digits>d" is a frame-number field,
// "%<digits>%" a literal '%', and any other '%' ends the reading: the builder
// gives up, and ffmpeg then takes the name as it is (the muxer, for the first
// frame) or a cut of it (the demuxer). The muxer fills every field with the
// frame's number; the demuxer takes one field only.
struct FrameFields {
  int count = 0;         // the fields read before the end or the stop
  int widest = 0;        // the digits of the widest of them
  bool stopped = false;  // a '%' that is neither a field nor a literal '%'
  bool percent = false;  // the name holds a '%' at all
};
FrameFields frameFields(std::string_view name);

// The existing files that a sequence name stands for, in number order, each
// spelled as the name is (its protocol prefix and folder kept, the file's
// number in the field). Empty when the name is no sequence, when the field
// lies in a folder part of the name, or when the folder cannot be read.
std::vector<std::string> existingSequenceFiles(std::string_view spelled);

// What reading a name opens at the protocol level, before any format reads
// the data: `files` every file opened (a "concatf:" list and its names, the
// members of "concat:", the file behind the wrappers), `data` those whose
// bytes make the input's data (all but the lists), and `unfollowed` the first
// name opened through a protocol that reads no file of ours ("http:",
// "data:", "pipe:", ...), whose reads cannot be known.
struct ProtocolReads {
  std::vector<std::string> files;
  std::vector<std::string> data;
  std::optional<std::string> unfollowed;
};
ProtocolReads protocolReads(std::string_view spelled);

// Every file that reading the name reads, as paths the file system takes (no
// protocol prefix): the file behind the name itself, the members of "concat:",
// the list of "concatf:" and the names in it (when the list can be read), and
// the existing files of a sequence. A name read through another name is
// followed a few levels deep at most.
std::vector<std::string> filesReadThrough(std::string_view spelled);

// The text of a list file (a "concatf:" or ffconcat list) spelled for ffmpeg,
// or nullopt when it is no regular file, cannot be read or is larger than any
// list a task would give (4 MiB).
std::optional<std::string> readListText(std::string_view spelled);

// One token as ffmpeg's av_get_token reads it, from `pos`: leading blanks
// skipped; a backslash takes the next character as it is; single quotes keep
// what they hold; the token ends at a character of `terminators`; blanks at
// its end that no quote or backslash protects are dropped. `pos` is left on
// the terminator (or the end).
std::string readFFmpegToken(std::string_view text, std::size_t& pos, std::string_view terminators);

// The names listed in the text of a "concatf:" list: one a line, blanks round
// it trimmed, quotes and backslashes read as ffmpeg's tokens read them; empty
// lines give no name.
std::vector<std::string> concatfListNames(std::string_view text);

// A name read from a list (ffconcat, playlist) in `folder`: names with a
// scheme of their own and absolute paths as they are, others in the folder.
std::string nameFromList(const std::string& name, const std::filesystem::path& folder);

// The files named by the "file" lines of an ffconcat list (the concat
// demuxer's input, "-f concat"), relative ones taken from the list's folder.
std::vector<std::string> ffconcatListFiles(std::string_view text, std::string_view listPath);

}  // namespace qel
