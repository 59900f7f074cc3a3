// The body of an engine's worker thread: takes started and aborted tasks from
// the task list in list order, has the command plan turn each task's operations
// into ordered ffmpeg commands, runs them one after another through the FFmpeg
// runner (polling it about every 100 ms), reports progress, errors and aborts as
// TaskStateJson texts through the progress callback, calls the completion
// callback and erases the task. Each command writes beside its output and its
// result takes the output's place only when it succeeded (staged_output.h): a
// command that failed or was interrupted leaves no output of its own and the
// file that was there as it was.
//
// Guarantees the caller can rely on:
// - Callbacks run on the worker thread without the engine mutex, one at a time.
// - A task aborted before it ran gets exactly one abort report (6514) and is
//   erased without the completion callback.
// - Before the completion callback of a task that ran, the last progress report
//   carries the task's final state: a task with a failed, refused or
//   interrupted command never ends on a report that reads as success.
// - The plan's intermediate files are deleted before the completion callback,
//   also after errors and aborts.
// - A command whose output would overwrite one of its own inputs never runs; it
//   is reported as failed and its "output" (that input) is left untouched.
// - When a stop is requested (`stopRequested()`) while a command runs, that
//   ffmpeg is ended within about one poll, and no child outlives the worker.
//
// Thread safety: taskWorker runs on the worker thread only and returns when
// `stopRequested()` is true. The helpers below may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "commands/planning_snapshot.h"

namespace qel {

class EngineContext;
struct FFmpegCommand;
struct TaskEntry;

void taskWorker(EngineContext& engine);

// Expected length of a command in whole seconds: the duration the "process"
// step remembers for the command's graph (command.rememberedSeconds) when,
// truncated, it is above 0; otherwise the sum over its input files of the
// lengths `knownFiles` gives (intermediate files, as long as the command that
// wrote them) and, for the others, probeDuration.
int32_t commandDuration(EngineContext& engine, const FFmpegCommand& command,
                        const std::map<std::string, int32_t>& knownFiles = {});

// Sum over the files of ffprobe's format duration, each truncated to whole
// seconds; a "nullsrc=" source, a missing file or an unreadable probe counts 0.
// Nothing is remembered: every call probes again.
int32_t probeDuration(EngineContext& engine, const std::vector<std::string>& inputFiles);

// The input files of commands[from..], each kept where it first occurs (exact
// comparison).
std::vector<std::string> distinctInputFiles(const std::vector<FFmpegCommand>& commands, size_t from);

// Removes the file at a UTF-8 path: up to 4 tries 300 ms apart; a path where no
// file exists is left alone without a message; the last failure is logged.
// True when no file is left at the path.
bool removeFile(const std::string& path);

}  // namespace qel
