// The worker thread: picks tasks, plans their commands, runs them through the
// FFmpeg runner and reports through the callbacks.
#include "engine/task_worker.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include <fmt/format.h>
#include <rapidjson/document.h>

#include "commands/command_plan.h"
#include "commands/probe_document.h"
#include "commands/spelled_files.h"
#include "commands/vocabulary.h"
#include "commands/write_guard.h"
#include "common/text_edit.h"
#include "engine/config_commands.h"
#include "engine/engine_context.h"
#include "engine/ffmpeg_wraper.h"
#include "base/log.h"
#include "engine/output_files.h"
#include "engine/progress_info.h"
#include "engine/staged_output.h"
#include "engine/status_report.h"
#include "base/text_helpers.h"

namespace qel {
namespace {

constexpr std::chrono::milliseconds kRetryCopyWait{100};
constexpr int kRemoveTries = 4;
constexpr std::chrono::milliseconds kRemoveRetryWait{300};
// The error detail of a task cut short because the engine is shutting down.
constexpr const char* kEngineStoppedDetail = "engine stopped";

bool fileExists(const std::string& path) { return !path.empty() && ::access(path.c_str(), F_OK) == 0; }

// Runs one task from its pick to its erase. One object per task.
class TaskRun {
 public:
  TaskRun(EngineContext& engine, InternalFFmpegWraper& runner, TaskEntry task, PlanningSnapshot snapshot)
      : engine_(engine), runner_(runner), task_(std::move(task)), snapshot_(std::move(snapshot)) {}

  void run();
  // After an unexpected failure inside run(): the task must still leave the
  // list and its caller must learn that it failed.
  void abandon(const std::string& reason);
  uint64_t id() const { return task_.id; }

 private:
  void runCommands();
  // Runs command i; returns false when no further command may run.
  bool runCommand(size_t i);
  // The length announced for command i, also remembered for the commands that
  // read its output.
  int32_t lengthOf(size_t i);
  // The task's first report: command 0 is about to run for `seconds`.
  void reportFirst(int32_t seconds);
  // Reports command i as failed without running it; `reason` goes to the log,
  // `detail` into the report.
  void refuseCommand(size_t i, const std::string& reason, const std::string& detail);
  void reportFinalState();
  void complete();

  TaskState currentState();
  void clearRunningTask();

  void reportProgress(ProgressInfo& record, const std::vector<std::string>& ids);
  void reportAbort(ProgressInfo& record, const std::vector<std::string>& ids, const std::string& detail);
  void reportError(ProgressInfo& record, const std::vector<std::string>& ids, const std::string& detail);
  void send(const ProgressInfo& record);

  EngineContext& engine_;
  InternalFFmpegWraper& runner_;
  TaskEntry task_;
  PlanningSnapshot snapshot_;  // handed to the builder
  std::unique_ptr<CommandBuilder> builder_;
  std::vector<FFmpegCommand> commands_;
  std::vector<int32_t> seconds_;      // announced length of each command, 0 until known
  std::vector<std::string> outputs_;  // files written by the commands that succeeded
  // The first failed or refused command's error report, kept so the task's
  // final report can carry it when later commands reported success.
  std::optional<ProgressInfo> firstFailure_;
  bool lastReportWasFailure_ = false;
  bool aborted_ = false;      // the caller aborted the task while it ran
  bool interrupted_ = false;  // a stop request cut the task short
  bool erased_ = false;
};

void TaskRun::run() {
  const uint64_t id = task_.id;
  logText(kLogNotice, fmt::format("//---- task({}) begin ---------", id));

  // Planned without the engine mutex, from the snapshot taken with the task.
  // Also planned for an aborted task, whose report names the input files of
  // all its commands.
  builder_ = std::make_unique<CommandBuilder>(std::move(snapshot_));
  commands_ = builder_->buildCommands(task_.operations);
  seconds_.assign(commands_.size(), 0);

  if (task_.state == TaskState::AbortRequested) {
    ProgressInfo record;
    reportAbort(record, distinctInputFiles(commands_, 0), "user abort");
    builder_.reset();
    engine_.eraseTask(id);
    erased_ = true;
    return;
  }

  runCommands();
  clearRunningTask();
  reportFinalState();
  complete();
}

void TaskRun::runCommands() {
  const size_t count = commands_.size();
  if (count == 0) return;

  for (size_t i = 0; i < count; ++i) {
    if (engine_.stopRequested()) {
      // Commands left unrun: the task did not finish.
      interrupted_ = true;
      return;
    }
    if (!runCommand(i)) return;
  }
}

void TaskRun::reportFirst(int32_t seconds) {
  ProgressInfo record;
  record.currentPhase = 1;
  record.totalPhase = static_cast<int32_t>(commands_.size());
  record.duration = secondsToClockText(seconds);
  record.speed = "1x";
  record.size = "0kB";
  record.estimateTime = record.duration;
  record.fileNums = extractInputFiles(commands_[0].commandLine);
  reportProgress(record, commands_[0].inputFiles);
}

bool TaskRun::runCommand(size_t i) {
  const uint64_t id = task_.id;
  const FFmpegCommand& command = commands_[i];
  const int32_t total = static_cast<int32_t>(commands_.size());

  if (std::optional<std::string> refusal = commandRefusal(commands_, i)) {
    // Nothing runs: nothing is written or removed.
    refuseCommand(i, *refusal, *refusal);
    return true;
  }

  // ffmpeg writes beside the output and the result takes its place only once
  // the command succeeded: a failure, an abort or a shutdown leaves the
  // user's file as it was. A format that writes no file ("-f null") opens
  // nothing under the output's name: nothing to protect, nothing to find.
  std::optional<StagedOutput> staged;
  std::string runLine = command.commandLine;
  if (writesOutputFile(command)) {
    staged.emplace(command.outputPath);
    std::string error;
    if (!staged->prepare(error)) {
      // The detail names the output or its folder: the user must know which
      // file or folder to look at.
      refuseCommand(i, "the output cannot be written: " + error, error);
      return true;
    }
    std::optional<std::string> line =
        replaceOutputArgument(command.commandLine, command.outputPath, staged->stagedName());
    if (!line) {
      const std::string message = "the output is no argument of its own in the command, refused";
      refuseCommand(i, message + ": " + command.outputPath, message);
      return true;
    }
    runLine = std::move(*line);
  }

  const std::string ffmpegPath = engine_.ffmpegPath();
  runner_.reset();
  if (runner_.ffmpegPath() != ffmpegPath) runner_.setFFmpegPath(ffmpegPath);

  // Only files that exist are listed as outputs: an image sequence's files,
  // never its pattern.
  const OutputFiles outputFiles(command.outputPath);

  // A failed start shows as a finished, failed command in the first poll.
  runner_.start(runLine);
  logText(kLogDebug, fmt::format("****** task({}) index={},{}", id, i, command.commandLine));
  if (staged) {
    logText(kLogDebug, fmt::format("task({}) command {} writes {} until it succeeds", id, i, staged->stagedName()));
  }
  // The expected length is learnt while ffmpeg already works (an ffprobe of
  // the inputs, at most, and remembered per file), not before it starts.
  const int32_t seconds = lengthOf(i);
  runner_.learnTotalSeconds(seconds);
  if (i == 0) reportFirst(seconds);

  ProgressInfo record;
  bool finished = false;
  bool failed = false;
  // Set when the finished result could not be moved into place.
  std::string commitError;
  while (true) {
    if (engine_.stopRequested()) {
      interrupted_ = true;
      break;
    }
    // Waits about 100 ms when ffmpeg is silent: this paces the loop.
    runner_.readProgress(record, finished, failed);
    record.currentPhase = static_cast<int32_t>(i) + 1;
    record.totalPhase = total;

    const TaskState state = currentState();
    const bool abortRequested = state == TaskState::AbortRequested;
    if (finished && !failed && !abortRequested && engine_.stopRequested()) {
      // A shutdown may have ended ffmpeg while this poll waited: no success.
      interrupted_ = true;
      break;
    }
    if (finished && !failed && !abortRequested) {
      if (staged && !staged->commit(commitError)) {
        failed = true;
        logText(kLogError,
                fmt::format("task({}) command {}: the result was not moved into place: {}", id, i, commitError));
      } else if (staged) {
        // A command given no file to write (-f null) wrote none: a file of
        // the user's under its name is no result of it.
        for (const std::string& file : outputFiles.written()) appendIfAbsent(outputs_, file);
      }
    }
    record.outputs = outputs_;

    if (abortRequested) {
      reportAbort(record, distinctInputFiles(commands_, i), "user abort");
      aborted_ = true;
      break;
    }
    if (!failed) {
      reportProgress(record, command.inputFiles);
      if (finished) break;
      continue;
    }
    reportError(record, command.inputFiles, commitError.empty() ? runner_.lastMessage() : commitError);
    if (finished) break;
  }

  if (runner_.hasError() || !commitError.empty()) {
    if (logEnabled(kLogDebug)) {
      logText(kLogDebug, fmt::format("****** task({}) index={}, result=1", id, i));
    } else {
      logText(kLogError, "cmd = {" + command.commandLine + "}");
      logText(kLogError, fmt::format("****** task({}) index={}, result=1", id, i));
    }
  } else {
    logText(kLogDebug, fmt::format("****** task({}) index={}, result=0", id, i));
  }

  runner_.stop();
  // What a failed, aborted or interrupted command wrote goes; the output's
  // own path was never touched.
  if (staged) staged->discard();
  return !(aborted_ || interrupted_ || engine_.stopRequested());
}

int32_t TaskRun::lengthOf(size_t i) {
  std::map<std::string, int32_t> known;
  for (const auto& [file, writer] : commands_[i].writtenBy) {
    if (writer < i && seconds_[writer] > 0) known.emplace(file, seconds_[writer]);
  }
  seconds_[i] = commandDuration(engine_, commands_[i], known);
  return seconds_[i];
}

void TaskRun::refuseCommand(size_t i, const std::string& reason, const std::string& detail) {
  const FFmpegCommand& command = commands_[i];
  const int32_t seconds = lengthOf(i);
  if (i == 0) reportFirst(seconds);
  logText(kLogError, fmt::format("****** task({}) index={}, {}", task_.id, i, reason));
  logText(kLogError, "cmd = {" + command.commandLine + "}");

  ProgressInfo record;
  record.currentPhase = static_cast<int32_t>(i) + 1;
  record.totalPhase = static_cast<int32_t>(commands_.size());
  record.duration = secondsToClockText(seconds);
  record.speed = "1x";
  record.size = "0kB";
  record.finished = true;
  record.fileNums = extractInputFiles(command.commandLine);
  record.outputs = outputs_;
  // Nothing ran: no output of this command is removed.
  reportError(record, command.inputFiles, detail);
}

void TaskRun::reportFinalState() {
  if (commands_.empty()) return;
  ProgressInfo record;
  record.totalPhase = static_cast<int32_t>(commands_.size());
  record.currentPhase = record.totalPhase;
  record.outputs = outputs_;
  if (interrupted_ && !aborted_) {
    // Shut down mid-task: without this the caller's last word would be a
    // running report followed by the completion, which reads as success.
    reportAbort(record, distinctInputFiles(commands_, 0), kEngineStoppedDetail);
    return;
  }
  if (aborted_ || !firstFailure_ || lastReportWasFailure_) return;
  // A later command succeeded after an earlier one failed: repeat the failure
  // as the task's final state, with the outputs that were written.
  ProgressInfo failure = *firstFailure_;
  failure.currentPhase = record.currentPhase;
  failure.totalPhase = record.totalPhase;
  failure.finished = true;
  failure.outputs = outputs_;
  std::vector<std::string> ids = failure.ids;
  reportError(failure, ids, failure.errorDetail);
}

void TaskRun::complete() {
  const uint64_t id = task_.id;
  // Intermediate files go before the caller hears of the end.
  builder_.reset();
  if (CompleteCallback callback = engine_.completeCallback()) {
    callback(&engine_, id, "");
  }
  engine_.eraseTask(id);
  erased_ = true;
  logText(kLogNotice, fmt::format("\\\\---- task({}) end ---------", id));
}

void TaskRun::abandon(const std::string& reason) {
  QEL_LOG_ERROR(fmt::format("task({}) failed: {}", task_.id, reason));
  runner_.stop();
  clearRunningTask();
  if (erased_) return;
  builder_.reset();
  ProgressInfo record;
  record.totalPhase = static_cast<int32_t>(commands_.size());
  record.currentPhase = record.totalPhase;
  record.finished = true;
  record.outputs = outputs_;
  reportError(record, {}, reason);
  if (task_.state != TaskState::AbortRequested) {
    if (CompleteCallback callback = engine_.completeCallback()) {
      callback(&engine_, task_.id, "");
    }
  }
  engine_.eraseTask(task_.id);
  erased_ = true;
}

TaskState TaskRun::currentState() { return engine_.taskState(task_.id).value_or(static_cast<TaskState>(0)); }

void TaskRun::clearRunningTask() { engine_.clearRunningTask(task_.id); }

void TaskRun::send(const ProgressInfo& record) {
  ProgressCallback callback = engine_.progressCallback();
  if (callback == nullptr) return;
  const std::string text = writeTaskState(record);
  callback(&engine_, task_.id, text.c_str());
}

void TaskRun::reportProgress(ProgressInfo& record, const std::vector<std::string>& ids) {
  lastReportWasFailure_ = false;
  if (engine_.progressCallback() == nullptr) return;
  record.error = false;
  record.aborted = false;
  record.errorDetail.clear();
  record.ids = ids;
  send(record);
}

void TaskRun::reportAbort(ProgressInfo& record, const std::vector<std::string>& ids, const std::string& detail) {
  lastReportWasFailure_ = true;
  if (engine_.progressCallback() == nullptr) return;
  record.error = false;
  record.aborted = true;
  record.finished = true;
  record.estimateTime = "00:00:00";
  record.usedTime = record.duration;
  record.currentPhase = record.totalPhase;
  record.errorDetail = detail;
  record.ids = ids;
  send(record);
}

void TaskRun::reportError(ProgressInfo& record, const std::vector<std::string>& ids, const std::string& detail) {
  record.error = true;
  record.aborted = false;
  record.estimateTime = "00:00:00";
  record.usedTime = record.duration;
  record.errorDetail = detail;
  record.ids = ids;
  if (!firstFailure_) firstFailure_ = record;
  lastReportWasFailure_ = true;
  send(record);
}

}  // namespace

int32_t probeDuration(EngineContext& engine, const std::vector<std::string>& inputFiles) {
  int64_t total = 0;
  for (const std::string& file : inputFiles) {
    if (file.find("nullsrc=") != std::string::npos) continue;
    if (!fileExists(std::string(fileBehindFFmpegPath(file)))) continue;
    // A full probe the "process" step already made serves as well.
    std::string json = engine.probeCache().find(file, /*formatOnly=*/false).value_or(std::string());
    if (json.empty() && runProbe(engine, file.c_str(), json, /*formatOnly=*/true) != 0) continue;
    rapidjson::Document doc;
    doc.Parse<rapidjson::kParseIterativeFlag>(json.c_str(), json.size());
    if (doc.HasParseError() || !doc.IsObject()) continue;
    auto format = doc.FindMember("format");
    if (format == doc.MemberEnd() || !format->value.IsObject()) continue;
    auto duration = format->value.FindMember("duration");
    if (duration == format->value.MemberEnd() || !duration->value.IsString()) continue;
    total += std::atoi(duration->value.GetString());
  }
  if (total > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (total < 0) return 0;
  return static_cast<int32_t>(total);
}

int32_t commandDuration(EngineContext& engine, const FFmpegCommand& command,
                        const std::map<std::string, int32_t>& knownFiles) {
  const double remembered = command.rememberedSeconds;
  if (std::isfinite(remembered) && remembered >= 1.0) {
    if (remembered >= static_cast<double>(std::numeric_limits<int32_t>::max())) {
      return std::numeric_limits<int32_t>::max();
    }
    return static_cast<int32_t>(remembered);
  }
  int64_t total = 0;
  std::vector<std::string> unknown;
  for (const std::string& file : command.inputFiles) {
    if (auto known = knownFiles.find(file); known != knownFiles.end()) {
      total += known->second;
    } else {
      unknown.push_back(file);
    }
  }
  total += probeDuration(engine, unknown);
  return static_cast<int32_t>(std::min<int64_t>(total, std::numeric_limits<int32_t>::max()));
}

std::vector<std::string> distinctInputFiles(const std::vector<FFmpegCommand>& commands, size_t from) {
  std::vector<std::string> files;
  for (size_t i = from; i < commands.size(); ++i) {
    for (const std::string& file : commands[i].inputFiles) appendIfAbsent(files, file);
  }
  return files;
}

bool removeFile(const std::string& path) {
  for (int attempt = 1; attempt <= kRemoveTries; ++attempt) {
    if (!fileExists(path)) return true;
    if (::unlink(path.c_str()) == 0) return true;
    const int error = errno;
    if (attempt < kRemoveTries) {
      std::this_thread::sleep_for(kRemoveRetryWait);
      continue;
    }
    logAt(kLogError, "removeFile", 754, path + ", " + std::error_code(error, std::generic_category()).message());
  }
  return !fileExists(path);
}

void taskWorker(EngineContext& engine) {
  std::shared_ptr<InternalFFmpegWraper> runner;
  try {
    runner = std::make_shared<InternalFFmpegWraper>();
  } catch (const std::exception&) {
    logText(kLogError, "Failed to alloc InternalFFmpegWraper");
    return;
  }
  engine.publishRunner(runner);

  while (!engine.stopRequested()) {
    std::optional<PickedTask> picked;
    bool copyFailed = false;
    try {
      picked = engine.pickNextTask();
    } catch (const std::exception& e) {
      QEL_LOG_ERROR(fmt::format("cannot copy the next task: {}", e.what()));
      copyFailed = true;
    }
    if (!picked) {
      // Every start, abort and stop wakes the worker: no periodic look. A
      // task that could not be copied (memory) is tried again a little later.
      if (copyFailed) {
        engine.waitForWork(kRetryCopyWait);
      } else {
        engine.waitForWork();
      }
      continue;
    }

    TaskRun run(engine, *runner, std::move(picked->task), std::move(picked->snapshot));
    try {
      run.run();
    } catch (const std::exception& e) {
      // Nothing may escape the thread; the task still leaves the list.
      try {
        run.abandon(e.what());
      } catch (...) {
        QEL_LOG_ERROR("task clean-up failed");
        engine.eraseTask(run.id());
      }
    }
  }
  // No child may outlive the worker, whatever stopped it.
  runner->stop();
}

}  // namespace qel
