// The one guard against a task writing over what it reads. ffmpeg is started
// with -y, so any output path it is given is truncated without a question; a
// command may therefore never be given, as its output, a file that it or any
// earlier command of the same task reads (a task's source, or the result of an
// earlier step that a later step still needs). Files are compared the way
// ffmpeg opens them: its "file:" protocol prefix (and the wrappers that open a
// file underneath) is dropped, relative paths, "." and ".." and symbolic links
// are resolved, and two names of one existing file (hard links) are the same
// file. What a name reads and may write is what ffmpeg makes of it
// (spelled_files.h): the members of "concat:", a "concatf:" list and its
// names, an ffconcat list given with "-f concat", and every file of an image
// sequence ("p%d.png").
//
// The same comparison refuses a task whose operations write one file twice:
// the second write would destroy the first result, and a failed second command
// would remove it.
//
// Thread safety: free functions; they read the file system and nothing else.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "commands/spelled_files.h"

namespace qel {

struct FFmpegCommand;
struct TaskOperation;

// True when the two texts name the same file for ffmpeg (see above).
bool sameFile(const std::string& a, const std::string& b);

// True when writing the output name `output` may write the file `file`: the
// same file, or, for an image sequence, one of the files its numbers give.
bool mayWrite(const std::string& output, const std::string& file);

// Every file a command reads: its inputFiles, its "-i" arguments and its
// movie=/amovie= sources, each with the files read through it.
std::vector<std::string> commandReads(const FFmpegCommand& command);

// Every output name of a command: its outputPath, and any further name that
// ffmpeg would take as an output file in its command line.
std::vector<std::string> commandWrites(const FFmpegCommand& command);

// The input that `command` would overwrite (its output is one of its own
// reads), or nullopt when it is safe.
std::optional<std::string> findOverwrittenInput(const FFmpegCommand& command);

// The same over a whole task: the file among the reads of commands[0..index]
// that commands[index]'s outputs may write, or nullopt. Such a command must
// not run.
std::optional<std::string> findOverwrittenInput(const std::vector<FFmpegCommand>& commands, std::size_t index);

// The error text for a command refused by findOverwrittenInput.
std::string overwrittenInputMessage(const std::string& input);

// An output name that the operations write twice (two output items that may
// write one file), or nullopt.
std::optional<std::string> findOutputWrittenTwice(const std::vector<TaskOperation>& operations);

// The error text for a task refused by findOutputWrittenTwice.
std::string outputWrittenTwiceMessage(const std::string& output);

}  // namespace qel
