// Task operations as the command tests write them: local files (with the
// options that stand before their -i), intermediate items (graphs, fragments,
// intermediate files) and an operation with its filter options read.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "commands/task_operation.h"

namespace qel::test::task {

inline TaskIoItem file(std::string value, std::string prevOp = "") { return {1, std::move(value), std::move(prevOp)}; }
inline TaskIoItem intermediate(std::string value) { return {2, std::move(value), ""}; }

inline TaskOperation makeOperation(std::vector<TaskIoItem> inputs, std::string transform,
                                   std::vector<TaskIoItem> outputs) {
  TaskOperation operation;
  operation.m_inputs = std::move(inputs);
  operation.m_transform = std::move(transform);
  operation.m_outputs = std::move(outputs);
  prepareFilterOptions(operation);
  return operation;
}

}  // namespace qel::test::task
