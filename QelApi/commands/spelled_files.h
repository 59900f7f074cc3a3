// The files behind a name as ffmpeg reads it. ffmpeg does not take every name
// as one plain file:
// - protocol prefixes lead to a file underneath ("file:", "async:", "cache:",
//   "crypto:", "subfile,...:");
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

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qel {

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

// The existing files that a sequence name stands for, in number order, each
// spelled as the name is (its protocol prefix and folder kept, the file's
// number in the field). Empty when the name is no sequence, when the field
// lies in a folder part of the name, or when the folder cannot be read.
std::vector<std::string> existingSequenceFiles(std::string_view spelled);

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

// The names listed in the text of a "concatf:" list: one a line, blanks round
// it trimmed, quotes and backslashes read as ffmpeg's tokens read them; empty
// lines give no name.
std::vector<std::string> concatfListNames(std::string_view text);

// The files named by the "file" lines of an ffconcat list (the concat
// demuxer's input, "-f concat"), relative ones taken from the list's folder.
std::vector<std::string> ffconcatListFiles(std::string_view text, std::string_view listPath);

}  // namespace qel
