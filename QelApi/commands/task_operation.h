// Task operations: the operations of a task as the engine keeps them. A task is
// described by a JSON text (the request's "operations" array); it is read into
// an ordered list of TaskOperation records, each with its input items, its
// transform (a piece of an ffmpeg command line, usually a filter option with a
// graph from an earlier "process" request) and its output items. While reading,
// the filter-option aliases of every transform are rewritten to
// -filter_complex and the transform is parsed once into a FilterOptions record,
// so the command plan can decide merges without parsing again.
//
// Thread safety: TaskIoItem and TaskOperation are plain values, owned by one
// thread at a time. parseTaskOperations and prepareFilterOptions touch no
// shared state (the alias list is a constant), so any thread may call them.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "commands/filter_options.h"

namespace qel {

// The producer-inputs map of the command plan: for every intermediate output
// value, the input values of the operations that write it.
using ProducerInputsMap = std::map<std::string, std::vector<std::string>>;

// One input or output of an operation.
struct TaskIoItem {
  // 1: a file path. 2: an intermediate value: a lavfi graph (holds "movie="),
  // a command fragment (holds "-i "), or the path of an intermediate file that
  // another operation of the task writes. 0 when the request gave no "type".
  std::int32_t type = 0;
  std::string value;   // the path, graph or fragment
  std::string prevOp;  // options written in front of this input's -i; may be empty

  bool operator==(const TaskIoItem&) const = default;
};

// One operation of a task. Copyable member by member; m_producerInputs is a
// non-owning reference and is copied as a reference.
struct TaskOperation {
  // The transform text with its filter-option aliases rewritten; the command
  // plan and the command assembly change it further.
  std::string m_transform;
  std::vector<TaskIoItem> m_inputs;
  // Never empty in a list returned by parseTaskOperations.
  std::vector<TaskIoItem> m_outputs;
  // Output value -> number of the pad label naming that output in the joined
  // graph. Empty after reading; filled while graphs are joined.
  std::map<std::string, std::int32_t> m_padLabels;
  // The producer-inputs map of the command plan merging this operation; null
  // after reading. Not owned.
  ProducerInputsMap* m_producerInputs = nullptr;
  // The parse of m_transform as it stood when prepareFilterOptions last ran.
  FilterOptions m_filterOptions;
  // The graph the command writes for the operation's one lavfi graph input
  // when the plan has joined further chains onto it; empty otherwise. The
  // input item keeps the graph as it was read: that text is the key of the
  // graph's record and duration.
  std::string m_graphText;
};

// Reads a task request (a JSON object whose "operations" array lists the
// operations in planning order). An operation without output items is dropped.
// Every failure gives an empty list: a null text, text that is not JSON, a root
// that is not an object, "operations" missing or not an array, no operation
// with output items, and a request of the wrong shape: an operation or an item
// that is not an object, an "input" that is not an array, an "output" that is
// neither an array nor an object, an item without a string "value", a
// "transform" or "prevOp" that is not a string (a skipped item would shift the
// input positions the graphs refer to, so nothing is skipped). JSON null counts
// as a missing member. A "type" that is not an integer within 32 bits reads as
// 0; an "output" object without "value" or "type" gives no output item.
std::vector<TaskOperation> parseTaskOperations(const char* text);

// Rewrites the first occurrence of each alias "-vf ", "-af ", "-filter:a ",
// "-filter:v ", "-filter " (in this order) outside quoted names in m_transform to
// "-filter_complex ", then parses m_transform into m_filterOptions.
void prepareFilterOptions(TaskOperation& operation);

}  // namespace qel
