#include "commands/planning_snapshot.h"

#include "commands/output_options.h"

namespace qel {

namespace {

template <class Value>
void copyEntry(const std::map<std::string, Value>& from, const std::string& graph, std::map<std::string, Value>& to) {
  if (const Value* value = findGraphEntry(from, graph)) to.emplace(graph, *value);
}

}  // namespace

void PlanningSnapshot::takeParserEntries(const std::vector<TaskOperation>& operations, const ParserRecords& records) {
  auto take = [&](const std::string& graph) {
    copyEntry(records.inputFiles, graph, inputFiles);
    copyEntry(records.durations, graph, durations);
  };
  for (const TaskOperation& operation : operations) {
    for (const TaskIoItem& input : operation.m_inputs) {
      if (input.type == 2) take(input.value);
    }
    take(extractGraphText(operation.m_transform));
  }
}

const std::vector<std::string>* PlanningSnapshot::findInputFiles(const std::string& graph) const {
  return findGraphEntry(inputFiles, graph);
}

double PlanningSnapshot::durationOf(const std::string& graph) const {
  const double* seconds = findGraphEntry(durations, graph);
  return seconds != nullptr ? *seconds : 0.0;
}

}  // namespace qel
