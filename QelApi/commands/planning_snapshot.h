// What planning a task reads of the engine's state, as plain data: the engine's
// worker copies it in one hold of the engine mutex when it picks the task, and
// the command plan and command assembly read only this copy. Planning is thus
// a function of the task's operations and this snapshot; it never reaches back
// into the engine, and a "process" request or "sethwaccel" that arrives while
// the task runs does not change the task's commands.
//
// Thread safety: a plain value, owned by one thread.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "commands/parser_records.h"
#include "commands/task_operation.h"

namespace qel {

struct PlanningSnapshot {
  // The hardware vendor "sethwaccel" selected; empty for none.
  std::string hardwareVendor{};
  // The task's output records (the parser's, copied when the task started).
  LavfiOutputRecords outputRecords{};
  // The parser's input files and durations of the graphs the task names.
  std::map<std::string, std::vector<std::string>> inputFiles{};
  std::map<std::string, double> durations{};

  // Copies from `records` the input-file and duration entries of every graph
  // the operations name (the graph inputs and the graph text of each
  // transform): the only keys a plan of them looks up. The empty key is never
  // copied: a failed "process" request files its entries there.
  void takeParserEntries(const std::vector<TaskOperation>& operations, const ParserRecords& records);

  // Lookups that never answer for the empty key.
  const std::vector<std::string>* findInputFiles(const std::string& graph) const;
  // The remembered duration in seconds, 0 when there is none.
  double durationOf(const std::string& graph) const;
};

}  // namespace qel
