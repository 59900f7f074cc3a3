// What a task may hand ffmpeg as an output: a plain file path (one "file:"
// prefix may stand before it, as ffmpeg's file protocol drops one) written
// by a format that writes that one file, or an image sequence whose files the
// write guard checks. The format is the one ffmpeg picks: the last "-f" or
// "-target" among the output's options, in any spelling ffmpeg takes
// (ffmpeg_args.h), else the one its extension names. Everything else is
// refused, so a spelling nobody thought of is refused rather than run: any
// other protocol ("tee:", "pipe:", "crypto:", "-"), a format that writes
// further files (playlists and segments, manifests, "tee"), an extension
// that names no format known to write only its file, and a picture name made
// a pattern of other files by "-strftime".
//
// ffmpeg's picture writer (the image2 format: "-f image2", or a picture
// extension) builds each file name in a 1024-byte buffer and cuts a longer
// one without a word, and it fills every frame-number field of the name. A
// picture output is refused when the name ffmpeg is given for it
// (staged_name.h), once the widest frame number is filled in, holds more than
// 1023 bytes, and when its frame-number fields are not read the guard's way
// (spelled_files.h): more than one field, a field wider than ffmpeg fills, or
// a '%' in a folder of a sequence's name; and when "-frame_pts" numbers its
// files by the frames' timestamps, which may be negative.
//
// Thread safety: free functions over their arguments.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "commands/input_reads.h"

namespace qel {

// Why ffmpeg may not be given `name` as an output with these options (the
// arguments that stand between the previous input or output and the name),
// or nullopt when it writes only the file it names.
std::optional<GuardRefusal> outputRefusal(std::string_view name, const std::vector<std::string>& options);

}  // namespace qel
