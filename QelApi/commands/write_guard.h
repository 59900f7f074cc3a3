// The one guard against a task writing over what it reads. ffmpeg is started
// with -y, so any output path it is given is truncated without a question; a
// command may therefore never be given, as its output, a file that it or any
// earlier command of the same task reads (a task's source, or the result of an
// earlier step that a later step still needs). Files are compared the way
// ffmpeg opens them: its "file:" protocol prefix (and the wrappers that open a
// file underneath, "async:", "cache:", "subfile,...:") is dropped, relative
// paths, "." and ".." and symbolic links are resolved, and two names of one
// existing file (hard links) are the same file.
//
// Thread safety: free functions; they read the file system and nothing else.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qel {

struct FFmpegCommand;

// The file a path spelled for ffmpeg opens: the path without the protocol
// prefixes that lead to a plain file. Other texts are returned unchanged.
std::string_view fileBehindFFmpegPath(std::string_view spelled);

// True when the two texts name the same file for ffmpeg (see above).
bool sameFile(const std::string& a, const std::string& b);

// Every file a command reads: its inputFiles, its "-i" arguments and its
// movie=/amovie= sources.
std::vector<std::string> commandReads(const FFmpegCommand& command);

// The input that `command` would overwrite (its output is one of its own
// reads), or nullopt when it is safe.
std::optional<std::string> findOverwrittenInput(const FFmpegCommand& command);

// The same over a whole task: the file among the reads of commands[0..index]
// that commands[index]'s output names, or nullopt. Such a command must not run.
std::optional<std::string> findOverwrittenInput(const std::vector<FFmpegCommand>& commands, std::size_t index);

// The error text for a command refused by findOverwrittenInput.
std::string overwrittenInputMessage(const std::string& input);

}  // namespace qel
