// The command plan: turns a task's operations into the ordered list of ffmpeg
// commands to run. Operations are ordered producer before consumer (matched by
// the values of their intermediate inputs and outputs); then the list is walked
// and, wherever the merge rules allow it, a consumer is merged into the
// operation that makes its input, so one ffmpeg run does the work of several
// operations and the intermediate never reaches the disk. Each merged group
// becomes one command through toCommad (command_assembly.h). The builder also
// remembers the intermediate files the plan may write, creates their folders,
// and deletes the files when it is destroyed, with the folders it created
// that are then empty.
//
// The plan is a function of the task's operations and a PlanningSnapshot
// (planning_snapshot.h): it reads nothing else of the engine.
//
// How the task worker uses it, per task run:
//   CommandBuilder builder(snapshot);   // taken under the engine mutex, used without it
//   auto commands = builder.buildCommands(task.operations);
//   for each command:
//     if (auto input = findOverwrittenInput(commands, i)) -> report an error
//         for this command (its output is a file the task reads), do not run
//         it, and do not remove its output (that file is an input);
//     else run command.commandLine (program and fixed options in front),
//         take its length from command.rememberedSeconds, else from its input
//         files (an intermediate one: the length announced for the command
//         that wrote it, command.writtenBy), report command.inputFiles;
//   // destroying the builder deletes the task's intermediate files: keep it
//   // alive until the last command has ended (also after an error or abort).
//
// Thread safety: a CommandBuilder belongs to one thread (the worker) and
// shares nothing.
#pragma once

#include <filesystem>
#include <list>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "commands/parser_records.h"
#include "commands/planning_snapshot.h"
#include "commands/task_operation.h"
#include "commands/write_guard.h"

namespace qel {

// One command of a task. A plain value.
struct FFmpegCommand {
  // The ffmpeg argument text without the program path; the runner puts the
  // program and its fixed leading options in front.
  std::string commandLine;
  // The value of the first output item of the command's operation; empty when
  // it has none.
  std::string outputPath;
  // The graph text of the command; the worker looks its duration up under it.
  std::string key;
  // The media files the command reads, without subtitle files and duplicates,
  // in first-appearance order.
  std::vector<std::string> inputFiles;
  // The duration the "process" step remembers for `key`, in seconds; 0 when
  // there is none.
  double rememberedSeconds = 0.0;
  // The input files an earlier command of the plan writes, with that
  // command's position: their length is the one announced for that command.
  std::map<std::string, std::size_t> writtenBy{};

  bool operator==(const FFmpegCommand&) const = default;
};

class CommandBuilder {
 public:
  using OperationList = std::list<TaskOperation>;
  using Position = OperationList::iterator;

  explicit CommandBuilder(PlanningSnapshot snapshot = {});
  // Deletes every intermediate file of the plan that exists (every file of an
  // intermediate image sequence), then every folder the plan created for them
  // that is empty, the deepest first; folders that were there before are
  // never touched. Failures ignored.
  ~CommandBuilder();
  CommandBuilder(const CommandBuilder&) = delete;
  CommandBuilder& operator=(const CommandBuilder&) = delete;

  // The commands of a task in the order they are to run. Registers the
  // intermediate files (creating their folders), orders and merges the
  // operations, and notes what is known of each command's length. Every
  // operation ends in a command, merged or not; nothing is reported here
  // (failures show when ffmpeg runs). Call once per builder.
  std::vector<FFmpegCommand> buildCommands(const std::vector<TaskOperation>& operations);

  const PlanningSnapshot& snapshot() const { return m_snapshot; }

  // ---- Steps of the plan, public so they can be tested one by one -------------
  // An intermediate name (a type-2 output that is no source of the task) where
  // a file already exists is replaced, in every item of the task, by a free
  // name beside it ("name-qelN.ext"): the user's file is neither overwritten
  // nor, at the end of the plan, deleted. An image sequence's name ("f%d.png")
  // is taken when any file of the sequence exists, and its free name keeps
  // the frame-number field ("f%d-qel1.png").
  static void claimFreeIntermediateNames(std::vector<TaskOperation>& operations);
  void registerIntermediateFiles(const std::vector<TaskOperation>& operations);
  void mapOutputsToInputs(const std::vector<TaskOperation>& operations);
  // Producer before consumer: sources, then sinks with every intermediate
  // writer placed before its first consumer. Operations that can never be
  // placed (an intermediate nobody reads, writers that read each other's
  // outputs in a cycle) are appended at the end in task order: they run and
  // fail visibly instead of stalling the worker.
  OperationList orderOperations(std::vector<TaskOperation> operations);
  static bool insertBeforeConsumer(const TaskOperation& operation, OperationList& sinks);
  static bool consumesOutput(const std::string& value, const TaskOperation& operation);
  static Position pickStartOperation(OperationList& list);
  Position findMergePartner(const TaskOperation& accumulated, OperationList& list);
  // Follows the chain of producers back to one whose intermediate inputs are
  // all made; stops (end) on a cycle.
  Position findReadyProducer(const std::string& value, OperationList& list);
  // True when next was merged into accumulated. A refused merge leaves both
  // unchanged. An accumulated operation that carries a lavfi graph as its input
  // merges only through joinOntoCarriedGraph; one that carries a command
  // fragment, and a next that carries either, run as commands of their own.
  bool tryMergeOperation(TaskOperation& accumulated, TaskOperation& next);
  // The merge of next into an accumulated operation that reads a lavfi graph:
  // next's chain is joined onto the graph itself. Changes nothing when refused.
  bool joinOntoCarriedGraph(TaskOperation& accumulated, TaskOperation& next) const;
  static bool allowsInputMerge(const TaskOperation& next);
  static int countPendingInputs(const TaskOperation& operation);
  static bool operationsMergeable(TaskOperation& accumulated, TaskOperation& next);
  // Fills rememberedSeconds and writtenBy of commands in their run order.
  void noteLengths(std::vector<FFmpegCommand>& commands) const;

  const std::set<std::string>& producedValues() const { return m_producedValues; }
  const std::set<std::wstring>& intermediateFiles() const { return m_intermediateFiles; }
  const ProducerInputsMap& outputToInputs() const { return m_outputToInputs; }

 private:
  // Makes `folder` and its missing parents, noting each one made.
  void makeFolders(const std::filesystem::path& folder);

  PlanningSnapshot m_snapshot;
  std::set<std::string> m_producedValues;
  std::set<std::wstring> m_intermediateFiles;
  // The folders registerIntermediateFiles created, each after its parent.
  std::vector<std::filesystem::path> m_madeFolders;
  ProducerInputsMap m_outputToInputs;
};

}  // namespace qel
