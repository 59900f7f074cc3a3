// The engine context: task list operations, the other operations on its guarded
// state, and the worker thread's start and stop. The engine mutex is taken here only.
#include "engine/engine_context.h"

#include <algorithm>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

#include <fmt/format.h>

#include "commands/write_guard.h"
#include "engine/config_commands.h"
#include "engine/ffmpeg_wraper.h"
#include "base/log.h"
#include "engine/task_worker.h"
#include "operations/operation_registry.h"

namespace qel {

EngineContext::EngineContext(const InitConfig& config) : m_parser(makeOperationRegistry()) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_config = config;
  // The parser's probes run this engine's ffprobe through the probe cache. The
  // result code is not looked at: a failed run leaves text that does not
  // parse, which reads as a file without streams.
  m_parser.setProbeRunner([this](const std::string& path) {
    std::string json;
    runProbe(*this, path.c_str(), json, /*formatOnly=*/false);
    return json;
  });
}

EngineContext::~EngineContext() {
  // qelapi_un_init stops the worker before it destroys the context and refuses
  // to run on the worker thread, so this only matters for contexts that die
  // some other way (a failed init, tests).
  if (stopWorker() == StopResult::CalledOnWorker && m_worker.joinable()) {
    QEL_LOG_ERROR("engine context destroyed on its own worker thread");
    m_worker.detach();
  }
}

bool EngineContext::startWorker(WorkerBody body) {
  std::lock_guard<std::mutex> lock(m_workerMutex);
  if (m_worker.joinable()) return true;
  m_stop.store(false);
  if (!body) body = taskWorker;
  try {
    m_worker = std::thread([this, body = std::move(body)] {
      // Set first, so a callback that calls back into the engine from this
      // thread is recognised from the very beginning.
      m_workerId.store(std::this_thread::get_id());
      body(*this);
    });
  } catch (const std::system_error& e) {
    QEL_LOG_ERROR(fmt::format("failed to start the worker thread: {}", e.what()));
    return false;
  }
  return true;
}

EngineContext::StopResult EngineContext::stopWorker() {
  // A worker that waited for itself would never return; the caller decides what
  // to report.
  if (isWorkerThread()) return StopResult::CalledOnWorker;
  std::lock_guard<std::mutex> lock(m_workerMutex);
  m_stop.exchange(true);
  wakeWorker();
  if (m_worker.joinable()) m_worker.join();
  m_workerId.store(std::thread::id{});
  return StopResult::Stopped;
}

bool EngineContext::isWorkerThread() const {
  std::thread::id worker = m_workerId.load();
  return worker != std::thread::id{} && worker == std::this_thread::get_id();
}

void EngineContext::wakeWorker() {
  {
    std::lock_guard<std::mutex> lock(m_wakeMutex);
    m_wakePending = true;
  }
  m_wakeup.notify_all();
}

void EngineContext::waitForWork() {
  std::unique_lock<std::mutex> lock(m_wakeMutex);
  m_wakeup.wait(lock, [this] { return m_wakePending || m_stop.load(); });
  m_wakePending = false;
}

void EngineContext::waitForWork(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(m_wakeMutex);
  m_wakeup.wait_for(lock, timeout, [this] { return m_wakePending || m_stop.load(); });
  m_wakePending = false;
}

TaskEntry* EngineContext::findTaskLocked(uint64_t id) {
  auto it = std::find_if(m_tasks.begin(), m_tasks.end(), [id](const TaskEntry& task) { return task.id == id; });
  return it == m_tasks.end() ? nullptr : &*it;
}

TaskEntry* EngineContext::nextRunnableTaskLocked() {
  for (TaskEntry& task : m_tasks) {
    if (task.state == TaskState::Started || task.state == TaskState::AbortRequested) return &task;
  }
  return nullptr;
}

int EngineContext::createTask(uint64_t id) {
  if (id == 0) return QEL_ERR_INVALID_PARAMS;
  std::lock_guard<std::mutex> lock(m_mutex);
  if (findTaskLocked(id) != nullptr) return QEL_ERR_REPEATED_TASK_ID;
  TaskEntry entry;
  entry.id = id;
  m_tasks.push_back(std::move(entry));
  return QEL_SUCCESS;
}

int EngineContext::replaceOperations(uint64_t id, const char* request) {
  // Read and checked before the engine mutex is taken: the check looks at the
  // file system, and neither needs the engine.
  std::vector<TaskOperation> operations = parseTaskOperations(request);
  // A name ffmpeg would open as something else than the files the task
  // names, and two outputs of one file (the second write would destroy the
  // first result, and a failed second command would remove it): refused
  // before anything runs.
  std::optional<std::string> refused = findRefusedName(operations);
  if (!refused) {
    if (std::optional<std::string> twice = findOutputWrittenTwice(operations)) {
      refused = outputWrittenTwiceMessage(*twice);
    }
  }
  if (refused) operations.clear();

  std::lock_guard<std::mutex> lock(m_mutex);
  TaskEntry* task = findTaskLocked(id);
  if (task == nullptr) return QEL_ERR_TASK_NOT_EXIST;
  if (task->state != TaskState::Created) return QEL_ERR_TASK_IS_RUNNING;
  if (refused) logText(kLogError, fmt::format("task({}) {}", id, *refused));
  task->operations = std::move(operations);
  return task->operations.empty() ? QEL_ERR_INVALID_PARAMS : QEL_SUCCESS;
}

int EngineContext::startTask(uint64_t id) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    TaskEntry* task = findTaskLocked(id);
    if (task == nullptr) return QEL_ERR_TASK_NOT_EXIST;
    // A second start, or a start after an abort, changes nothing.
    if (task->state != TaskState::Created) return QEL_SUCCESS;
    task->outputRecords = m_parser.outputsForTask();  // never the empty key of a failed request
    task->state = TaskState::Started;
  }
  wakeWorker();
  return QEL_SUCCESS;
}

int EngineContext::AbortTask(uint64_t id) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    TaskEntry* task = findTaskLocked(id);
    if (task == nullptr) return QEL_ERR_TASK_NOT_EXIST;
    logText(kLogNotice, fmt::format("AbortTask({})", id));
    task->state = TaskState::AbortRequested;
    // Only the command of this very task is stopped; the worker sets
    // m_runningTaskId under this mutex, so it cannot have moved on to another
    // task's command in between.
    if (m_runner && m_runningTaskId == id) {
      static_cast<FFmpegWraper&>(*m_runner).stop();
    }
  }
  wakeWorker();
  return QEL_SUCCESS;
}

void EngineContext::eraseTask(uint64_t id) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_tasks.remove_if([id](const TaskEntry& task) { return task.id == id; });
}

std::optional<TaskState> EngineContext::taskState(uint64_t id) {
  std::lock_guard<std::mutex> lock(m_mutex);
  const TaskEntry* task = findTaskLocked(id);
  if (task == nullptr) return std::nullopt;
  return task->state;
}

std::optional<PickedTask> EngineContext::pickNextTask() {
  std::lock_guard<std::mutex> lock(m_mutex);
  TaskEntry* task = nextRunnableTaskLocked();
  if (task == nullptr) return std::nullopt;
  std::optional<PickedTask> picked(PickedTask{*task, {}});
  // Everything the plan reads of the engine, in the same hold.
  picked->snapshot = takePlanningSnapshotLocked(picked->task);
  // Set in the same hold as the pick, so an abort from now on stops this
  // task's command and no other.
  if (task->state == TaskState::Started) m_runningTaskId = task->id;
  return picked;
}

void EngineContext::clearRunningTask(uint64_t id) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_runningTaskId == id) m_runningTaskId = 0;
}

PlanningSnapshot EngineContext::takePlanningSnapshot(TaskEntry& task) {
  std::lock_guard<std::mutex> lock(m_mutex);
  return takePlanningSnapshotLocked(task);
}

PlanningSnapshot EngineContext::takePlanningSnapshotLocked(TaskEntry& task) {
  PlanningSnapshot snapshot;
  snapshot.hardwareVendor = m_config.hwaccel_vendor;
  snapshot.outputRecords = std::move(task.outputRecords);
  snapshot.takeParserEntries(task.operations, m_parser);
  return snapshot;
}

void EngineContext::publishRunner(std::shared_ptr<InternalFFmpegWraper> runner) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_runner = std::move(runner);
}

std::string EngineContext::ffmpegPath() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_config.ffmpeg_pathname;
}

void EngineContext::setHardwareVendor(std::string vendor) {
  // The command builder reads the vendor on the worker thread under the same mutex.
  std::lock_guard<std::mutex> lock(m_mutex);
  m_config.hwaccel_vendor = std::move(vendor);
}

LavfiParseResult EngineContext::parseRequest(std::string_view request, std::map<std::string, std::string> probes) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_parser.setPrefetchedProbes(std::move(probes));
  LavfiParseResult result = m_parser.parse(request);
  m_parser.setPrefetchedProbes({});
  return result;
}

void EngineContext::cleanParserCache() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_parser.cleanCache();
}

void EngineContext::setProgressCallback(ProgressCallback callback) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_progressCallback.store(callback);
}

void EngineContext::setErrorCallback(ErrorCallback callback) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_errorCallback.store(callback);
}

void EngineContext::setCompleteCallback(CompleteCallback callback) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_completeCallback.store(callback);
}

}  // namespace qel
