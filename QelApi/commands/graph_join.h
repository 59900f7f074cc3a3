// Filter graph joining and pad relabelling: the text work that lets two
// operations of a task run as one ffmpeg command. The next operation's input
// references ([0], [1:v], [2:a:1] ...) are renumbered to the positions its
// inputs take in the accumulated operation, a reference to an intermediate
// value that the accumulated operation makes becomes a named link ([4095] ...)
// from the producing filter to the reading one, the next graph becomes a
// further chain of the accumulated graph, and the next operation's -map options
// follow the renumbering. The text scanning these edits rest on (quoted
// arguments, tokens, filter ends, renaming of references) is graph_scan.h.
//
// Numbers in labels: from 4095 up a label is a pad label handed out by
// nextPadLabel; below 4095 it is an input position. Temporary numbers 1000,
// 1001 ... are used inside one renumbering and never remain in a text.
//
// Text is edited only where it is graph syntax: labels and joined chains are
// never put inside a quoted filter argument (movie='...', text='...'), filter
// names are looked for only inside the filter option's value, and references
// inside quoted arguments are never renumbered.
//
// Thread safety: nextPadLabel is process-wide and atomic. Everything else works
// only on the operations and texts it is given, which belong to the caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "commands/graph_scan.h"
#include "commands/task_operation.h"

namespace qel {

// Hands out the next pad label number: 4095, 4096, ... for the whole process,
// never reset, so labels stay unique across tasks and engines.
std::int32_t nextPadLabel();

// Labels the inputs of the operation's first filter ("[k]" for every input
// item k that is not an ".ass" file) when it has no input pads, and the
// intermediate (type 2) outputs of its last filter when it has no output pads,
// recording each output label in m_padLabels. Does nothing without a filter.
// A source filter (movie, amovie, color, nullsrc, anullsrc, testsrc, sine) has
// no input pad and gets no input labels. Output labels are taken and recorded
// only when the end of the last filter can be found in the filter option.
void labelFilterPads(TaskOperation& operation);

// True when joining `next` into `accumulated` (labelFilterPads (accumulated),
// mergeFilterGraphs, remapMapOptions) would leave a reference of next's graph
// that names no input or no filter: next reads an intermediate value of
// accumulated that cannot be pointed at one of accumulated's inputs (no single
// producer input; the reference would become [-1]) nor linked to one of its
// filters. Such operations must run as separate commands. Changes nothing.
bool mergeNeedsMissingInput(const TaskOperation& accumulated, const TaskOperation& next);

// Renumbers next's references, joins next's graph into accumulated's transform
// (as a further chain inside its graph, or as a new -filter_complex when
// accumulated has no filter) and leaves next's transform holding only its other
// options. When accumulated's graph value is bare (unquoted) and the joined
// chain holds a blank, the value is put in double quotes so it stays one
// argument. Returns false, having changed nothing, when the merge is refused
// (mergeNeedsMissingInput of the two as they stand); true otherwise, also when
// next has no audio or video filter and nothing was to be done.
bool mergeFilterGraphs(TaskOperation& accumulated, TaskOperation& next);

// The pad label that next's input `position` must refer to: the label of the
// intermediate value in accumulated's m_padLabels, or a new label put at the end
// of accumulated's last filter of the medium of next's first filter. -1 when
// next's graph does not name that input or accumulated has no such filter.
int linkChainInput(TaskOperation& accumulated, int position, const TaskOperation& next);

// Renumbers the input positions in next's -map arguments to the positions of
// its inputs in accumulated (appending inputs accumulated lacks), or to the pad
// label of an intermediate value accumulated makes. Nothing happens when next
// has no -map option.
void remapMapOptions(TaskOperation& accumulated, TaskOperation& next);

// What an operation adds to the stream it reads when its transform is no more
// than one chain of filters and output options: at most one filter option,
// whose graph is a single unlabelled chain of one-input, one-output filters of
// one medium, and options that neither map, add inputs nor copy streams.
struct AppendedChain {
  std::string chain;    // the chain's filters as written; empty without a chain
  char media = 'n';     // 'a' or 'v' for a chain, 'n' without one
  std::string options;  // the transform without the filter option, trimmed
};

// The chain and options of the operation's transform, or nullopt when the
// transform is more than that (labels, several chains or filter options,
// source filters, filters with several inputs or outputs, filters of no or of
// both media, quotes or escapes the command text cannot carry, -map, -i, copy).
std::optional<AppendedChain> appendedChainOf(const TaskOperation& operation);

// Appends `chain` (filters of `media`) to the output of that medium of a graph
// that labels its outputs [out0] (video, or its only output) and [out1]
// (audio): ",chain" goes right before the label, which then ends the chain.
// False, with the graph unchanged, when that output is not one lone label at
// the end of a chain (a filter with several outputs, a label written twice).
bool appendChainToGraph(std::string& graph, char media, std::string_view chain);

// The join step of the command plan: refuses (returns false, nothing changed)
// when mergeNeedsMissingInput, else runs labelFilterPads (accumulated),
// mergeFilterGraphs and remapMapOptions and returns true.
bool joinOperationGraphs(TaskOperation& accumulated, TaskOperation& next);

}  // namespace qel
