// Where a command writes its output until it has succeeded: a private folder
// beside the output, and the name ffmpeg is given for the file in it. The
// engine makes the folder and moves the result into place
// (engine/staged_output.h); the write guard needs the name's length before
// anything runs, because ffmpeg's picture writer cuts a longer name than it
// holds without a word (allowed_outputs.h).
//
// The folder has a short name of its own ("qel-" and six characters from
// mkdtemp), never one made from the output's name: the name ffmpeg works with
// is then longer than the output's by the same few bytes whatever the
// output's length, and a name that would not fit is refused before it runs,
// so no cut can fall inside the folder's name and leave the name of a file
// beside it.
//
// Thread safety: free functions over their arguments.
#pragma once

#include <string>
#include <string_view>

namespace qel {

// The private folder's name, as mkdtemp takes it.
inline constexpr std::string_view kStagingFolderName = "qel-XXXXXX";

// The private folder's path for the output `output` (as a command spells it,
// a "file:" prefix allowed), as mkdtemp takes it: the output's folder as
// spelled, then kStagingFolderName.
std::string stagingFolderTemplate(std::string_view output);

// The name ffmpeg is given for `output` written in the private folder
// `folder` (a path made from stagingFolderTemplate): "file:", so that ffmpeg
// opens exactly that file, the folder, '/' and the output's file name. Its
// length does not depend on the characters mkdtemp chose.
std::string stagedOutputName(std::string_view folder, std::string_view output);

}  // namespace qel
