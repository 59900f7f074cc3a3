// EngineContext: the object behind an engine handle. It owns the configuration
// copy, the task list, the callback slots, the operation parser, the
// one worker thread and (shared with the worker) the FFmpeg runner.
//
// Thread safety: every operation below may be called from any thread. The
// state they share (the configuration, the task list, the parser, the runner)
// is private and guarded by the engine mutex, which only engine_context.cpp
// takes: each operation that needs it holds it for its whole run. Most only
// copy or change that state, but three can wait on a child process under it,
// and every other caller then waits with them:
// - parseRequest: the parser runs ffprobe through its probe runner (bounded
//   at 2 minutes) for an input that is not among the answers probed beforehand;
// - AbortTask: stopping the running task's ffmpeg ends it and waits for it to
//   be gone (up to about 5 s);
// - publishRunner: replacing or dropping (nullptr, at shutdown) the last
//   reference to a runner stops its ffmpeg the same way.
// None of them takes the engine mutex again: the probe runner reads only
// ffprobePath, the probe cache and the call group, which need no engine
// mutex. startWorker/stopWorker are serialised by `m_workerMutex`; no path
// holds both mutexes at once.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <optional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "qelapi.h"
#include "common/subprocess.h"
#include "engine/init_config.h"
#include "engine/probe_cache.h"
#include "commands/lavfi_parser.h"
#include "commands/parser_records.h"
#include "commands/planning_snapshot.h"
#include "commands/task_operation.h"

namespace qel {

class InternalFFmpegWraper;

// 3, not 2, means an abort was asked for; 2 is never used.
enum class TaskState : int32_t {
  Created = 0,
  Started = 1,
  AbortRequested = 3,
};

struct TaskEntry {
  uint64_t id = 0;
  TaskState state = TaskState::Created;
  std::vector<TaskOperation> operations;
  // Copy of the parser's `outputs` taken by startTask.
  std::map<std::string, LavfiOutputRecord> outputRecords;
};

// A task the worker picked, with what planning it reads of the engine.
struct PickedTask {
  TaskEntry task;
  PlanningSnapshot snapshot;
};

class EngineContext;
// The body of the worker thread; it runs until `stopRequested()` is true.
using WorkerBody = std::function<void(EngineContext&)>;

class EngineContext {
 public:
  // Copies `config` into m_config under m_mutex. Starts no thread.
  explicit EngineContext(const InitConfig& config);
  // Stops and joins the worker if it still runs (never from the worker itself).
  ~EngineContext();
  EngineContext(const EngineContext&) = delete;
  EngineContext& operator=(const EngineContext&) = delete;

  // Under m_workerMutex: when no worker exists, clears the stop request
  // (stopRequested()) and starts `body` (the task worker by default) on a new
  // thread. False when the thread could not be created.
  bool startWorker(WorkerBody body = {});

  enum class StopResult { Stopped, CalledOnWorker };
  // Under m_workerMutex: requests the stop (stopRequested() turns true), wakes
  // the worker and joins it. Called on the worker thread itself it neither
  // joins nor changes anything and answers CalledOnWorker.
  StopResult stopWorker();

  // True when the calling thread is this engine's worker thread.
  bool isWorkerThread() const;

  // Task-list operations; each takes m_mutex for its whole run and returns an
  // ErrorCode value.
  int createTask(uint64_t id);                              // 6510 for id 0, 6511, 0
  int replaceOperations(uint64_t id, const char* request);  // 6512, 6513, 6510, 0
  int startTask(uint64_t id);                               // 6512, 0
  int AbortTask(uint64_t id);                               // 6512, 0
  void eraseTask(uint64_t id);

  // The state of the task `id`, nullopt when no entry has that id.
  std::optional<TaskState> taskState(uint64_t id);

  // The worker's pick, in one hold of the engine mutex: copies the first task
  // (list order) that is Started or AbortRequested, takes its planning
  // snapshot, and, when it is Started, makes it the running task (from then on
  // an abort of it stops the runner). Nullopt when no task is runnable. Throws
  // what the copy throws (memory); nothing is changed then.
  std::optional<PickedTask> pickNextTask();
  // Clears the running task when it is `id`.
  void clearRunningTask(uint64_t id);

  // What planning `task` reads of the engine: the selected hardware vendor,
  // the task's output records (moved out of `task`) and the parser's input
  // files and durations of the graphs the task names. The plan then runs
  // without the engine mutex.
  PlanningSnapshot takePlanningSnapshot(TaskEntry& task);

  // Publishes the worker's runner (AbortTask reads it); null drops it.
  void publishRunner(std::shared_ptr<InternalFFmpegWraper> runner);

  // The configured ffmpeg, as a copy.
  std::string ffmpegPath();
  // The configured ffprobe. Written only when the context is made, so it is
  // read without the engine mutex: the parser's probes run while a "process"
  // request holds that mutex.
  const std::string& ffprobePath() const { return m_config.ffprobe_pathname; }
  // Selects the hardware vendor the command builder uses ("" for none).
  void setHardwareVendor(std::string vendor);

  // Parses a "process" request with the parser answering probes from
  // `probes` (paths probed beforehand, without the engine mutex); the hold
  // covers the whole parse, so the worker never sees the parser's maps half
  // written.
  LavfiParseResult parseRequest(std::string_view request, std::map<std::string, std::string> probes);
  // qelapi_clean_lavfi_cache: LavfiParser::cleanCache.
  void cleanParserCache();

  // Wakes a worker that waits in waitForWork (new work, abort or stop).
  void wakeWorker();
  // The worker's idle wait: returns when woken (a start, an abort or a stop
  // since the last wait) or when a stop was asked for; no periodic wake-up.
  // Takes no engine lock.
  void waitForWork();
  // The same, bounded by `timeout`.
  void waitForWork(std::chrono::milliseconds timeout);
  // True once stopWorker has asked the worker to end (until the next start).
  bool stopRequested() const { return m_stop.load(); }

  void setProgressCallback(ProgressCallback callback);
  void setErrorCallback(ErrorCallback callback);
  void setCompleteCallback(CompleteCallback callback);
  // The callbacks as last set; read by the worker without the engine mutex.
  ProgressCallback progressCallback() const { return m_progressCallback.load(); }
  CompleteCallback completeCallback() const { return m_completeCallback.load(); }

  // ffprobe answers by file identity, shared by the parser, the worker and
  // "getmediaprops"; it has its own lock.
  ProbeCache& probeCache() { return m_probeCache; }
  // The programs that export calls run (ffprobe, the hardware test), so that
  // qelapi_un_init can end them rather than wait for them. The task worker's
  // ffmpeg is not among them: the worker ends its own. Guards itself.
  ChildGroup& calls() { return m_calls; }

 private:
  // Tests set up and look at the guarded state directly (tests/support).
  friend struct EngineContextTestAccess;

  // REQUIRES: m_mutex held. Null when no entry has that id.
  TaskEntry* findTaskLocked(uint64_t id);
  // REQUIRES: m_mutex held. The first entry (list order) that is Started or
  // AbortRequested; null when there is none.
  TaskEntry* nextRunnableTaskLocked();
  // REQUIRES: m_mutex held. See takePlanningSnapshot.
  PlanningSnapshot takePlanningSnapshotLocked(TaskEntry& task);

  // The engine mutex: guards m_tasks, m_parser, m_config, m_runner and
  // m_runningTaskId, and the writes of the callback slots.
  std::mutex m_mutex;
  InitConfig m_config;           // guarded by m_mutex
  std::list<TaskEntry> m_tasks;  // guarded by m_mutex; creation order
  // Written under m_mutex, read by the worker without it.
  std::atomic<ProgressCallback> m_progressCallback{nullptr};
  std::atomic<ErrorCallback> m_errorCallback{nullptr};  // stored, never called
  std::atomic<CompleteCallback> m_completeCallback{nullptr};
  // The operation parser with its records (LavfiParser derives from
  // ParserRecords); its probes go through runProbe. Guarded by m_mutex.
  LavfiParser m_parser;
  ProbeCache m_probeCache;
  ChildGroup m_calls;

  std::mutex m_workerMutex;
  std::atomic<bool> m_stop{false};
  std::thread m_worker;
  // Signalled on startTask, AbortTask and stop, so an idle worker sees new work
  // and stop requests at once. m_wakeMutex is a leaf lock: nothing else is
  // taken while it is held.
  std::mutex m_wakeMutex;
  std::condition_variable m_wakeup;
  bool m_wakePending = false;  // guarded by m_wakeMutex

  std::shared_ptr<InternalFFmpegWraper> m_runner;  // guarded by m_mutex
  // The task whose commands the worker is running, 0 when none. Set in the
  // hold that picks the task and cleared after its commands; AbortTask stops
  // the runner only when it names the aborted task.
  uint64_t m_runningTaskId = 0;  // guarded by m_mutex

  std::atomic<std::thread::id> m_workerId{};
};

}  // namespace qel
