// The one guard against a task writing anything but its own outputs. It
// decides by allow-list, from what ffmpeg will open: a name is let through
// only when the files behind it are known, so a spelling nobody thought of
// is refused rather than run.
// - Outputs (allowed_outputs.h): a plain file path written by a format that
//   writes that one file, or an image sequence whose files are checked.
// - Inputs (input_reads.h): the files a name reads through the protocols
//   and formats whose files are known (lists, playlists and movie sources
//   read as inputs in turn); any other input is refused.
// - ffmpeg is started with -y, so any output path it is given is truncated
//   without a question; a command may therefore never be given, as its
//   output, a file that it or any earlier command of the same task reads (a
//   task's source, or the result of an earlier step that a later step still
//   needs). Files are compared the way ffmpeg opens them: relative paths, "."
//   and ".." and symbolic links (dangling ones too: a write creates what they
//   lead to) are resolved, and two names of one existing file (hard links)
//   are the same file. Every file of an image sequence ("p%d.png") counts.
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

// False when the command has no outputPath, or writes it with a format that
// writes no file ("-f null"): nothing of it is there when the command ends.
bool writesOutputFile(const FFmpegCommand& command);

// The input that `command` would overwrite (its output is one of its own
// reads), or nullopt when it is safe.
std::optional<std::string> findOverwrittenInput(const FFmpegCommand& command);

// The same over a whole task: the file among the reads of commands[0..index]
// that commands[index]'s outputs may write, or nullopt. Such a command must
// not run.
std::optional<std::string> findOverwrittenInput(const std::vector<FFmpegCommand>& commands, std::size_t index);

// Why commands[index] may not run, as the error text: one of its outputs is
// no plain file written by a one-file format (allowed_outputs.h), the reads
// of one of its inputs cannot be known (input_reads.h), or its outputs may
// write a file that it or an earlier command reads (findOverwrittenInput).
// nullopt when it may run.
std::optional<std::string> commandRefusal(const std::vector<FFmpegCommand>& commands, std::size_t index);

// The first name of a task's operations that the guard refuses before
// anything runs, as the error text naming it and the reason: an output that
// is no plain file written by a one-file format (with the transform's options
// as its own), an input whose reads cannot be known, or an output that is a
// symbolic link leading to a file the task reads. nullopt when none is.
std::optional<std::string> findRefusedName(const std::vector<TaskOperation>& operations);

// The error text for a command refused by findOverwrittenInput.
std::string overwrittenInputMessage(const std::string& input);

// An output name that the operations write twice (two output items that may
// write one file), or nullopt.
std::optional<std::string> findOutputWrittenTwice(const std::vector<TaskOperation>& operations);

// The error text for a task refused by findOutputWrittenTwice.
std::string outputWrittenTwiceMessage(const std::string& output);

}  // namespace qel
