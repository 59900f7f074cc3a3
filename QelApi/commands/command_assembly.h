// Command assembly: turns one task operation (as read, or merged from several by
// the command plan) into one complete ffmpeg argument text. It writes the
// inputs, the command fragment and output options that the "process" step
// recorded for the operation's graph, the transform and the quoted output path,
// and then lets the output-option steps (output_options.h) finish the line. It
// also fills in the command's input files and the graph key under which the
// worker finds the command's duration.
//
// Shape of a command text: the inputs (each an optional blank and prevOp, then
// -i and the quoted path; or a graph under -filter_complex; or a fragment),
// the recorded fragment, a blank and the transform, a blank and the output
// options, a blank and the quoted output path. Pieces are always separated by
// a blank. A graph and the fragment recorded for it are two forms of one
// operation: when the record carries a fragment, the fragment stands in place
// of the graph (and of the transform), never beside it.
//
// Thread safety: a pure function of the operation and the planning snapshot,
// both owned by the caller.
#pragma once

#include <string>
#include <vector>

#include "commands/command_plan.h"
#include "commands/planning_snapshot.h"
#include "commands/task_operation.h"

namespace qel {

// The command of one operation, with the output record, hardware vendor and
// input files the snapshot holds for its graph. Changes the operation's
// m_transform (pad labels nothing reads are removed; cleared when the record
// carries a fragment). Records under the empty key never apply (a failed
// "process" request files its record there).
FFmpegCommand toCommad(TaskOperation& operation, const PlanningSnapshot& snapshot);

// Appends `path` to `files` unless it is empty, ends with ".ass" or ".srt"
// (ASCII case ignored) or is already there (exact comparison).
void addInputFile(std::vector<std::string>& files, const std::string& path);

}  // namespace qel
