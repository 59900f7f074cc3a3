// Every file ffmpeg reads for one input, found the way ffmpeg finds it, or the
// reason they cannot all be known. Reading an input goes through two layers:
// - the protocol (spelled_files.h): "file:", the wrappers, "concat:",
//   "concatf:"; any other protocol reads no file of ours and is not followed;
// - the format: forced with "-f" among the input's options, else detected
//   from the content as ffmpeg's probes detect it. A few formats read other
//   files: an ffconcat list ("ffconcat version 1.0") and an HLS playlist
//   ("#EXTM3U") read the files they name, which are read here as inputs in
//   turn; "-f lavfi" reads the files of its movie= and amovie= sources. The
//   formats whose files are not followed (DASH and IMF manifests, VobSub
//   indexes, SDP sessions by content; any forced format outside the list of
//   those that read only their own file) make the input refused.
//
// Thread safety: free functions; they read the file system and nothing else.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qel {

// A name the guard refuses, and why.
struct GuardRefusal {
  std::string name;
  std::string reason;

  bool operator==(const GuardRefusal&) const = default;
};

struct InputReads {
  std::vector<std::string> files;       // as paths the file system takes
  std::optional<GuardRefusal> refusal;  // set when some read cannot be known
};

// The reads of the input `name` opened with the forced format `format`
// (empty: detected from the content).
InputReads inputReads(std::string_view name, std::string_view format);

// The format ffmpeg's probe finds by content in the file, among those that
// read other files ("concat", "hls", "dash", "imf", "vobsub", "sdp"); empty
// for any other content or a file that cannot be read.
std::string formatByContent(const std::string& file);

// A movie= or amovie= source of a filter graph: the file it opens and the
// format it forces (its "f" or "format_name" option; empty when none).
struct MovieSource {
  std::string filename;
  std::string format;

  bool operator==(const MovieSource&) const = default;
};

// The movie and amovie sources of a filter graph, read with ffmpeg's graph
// syntax: chains and filters, labels, quoting and escaping at the graph and
// at the option level, the file name given by position or by key.
std::vector<MovieSource> movieSources(std::string_view graph);

// The names an HLS playlist reads: its URI lines and the URI="..." attributes
// of its tags (keys, init sections, renditions), relative ones taken from the
// playlist's folder.
std::vector<std::string> playlistNames(std::string_view text, std::string_view playlistPath);

}  // namespace qel
