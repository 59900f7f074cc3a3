#include "platform/audio/work_queue.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

namespace platform::audio {

namespace {

// A queue served by `threads` threads that live as long as the process.
class Queue {
 public:
  explicit Queue(int threads) {
    for (int i = 0; i < threads; ++i) std::thread([this] { serve(); }).detach();
  }
  void put(std::function<void()> work) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      items_.push_back(std::move(work));
    }
    wake_.notify_one();
  }

 private:
  void serve() {
    while (true) {
      std::function<void()> work;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [this] { return !items_.empty(); });
        work = std::move(items_.front());
        items_.pop_front();
      }
      work();
    }
  }
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> items_;
};

struct Waiting {
  std::shared_ptr<platform::Event> event;
};

struct Queues {
  std::mutex mutex;
  std::map<uint32_t, Queue*> queues;       // never destroyed: their threads outlive every user
  std::map<std::string, uint32_t> shared;  // name -> id
  std::map<uint32_t, int> locks;
  std::map<uint64_t, Waiting> waiting;
  uint32_t nextQueueId = 0x100;
  uint64_t nextKey = 1;
  int startups = 0;
  std::atomic<int> pending{0};

  Queues() { queues[kMultithreadedQueue] = new Queue(4); }
};

Queues& queues() {
  static Queues* instance = new Queues;
  return *instance;
}

Queue* find(Queues& q, uint32_t id) {
  auto it = q.queues.find(id);
  return it == q.queues.end() ? nullptr : it->second;
}

}  // namespace

HRESULT MFStartup() {
  Queues& q = queues();
  std::lock_guard<std::mutex> lock(q.mutex);
  ++q.startups;
  return S_OK;
}

HRESULT MFShutdown() {
  Queues& q = queues();
  std::lock_guard<std::mutex> lock(q.mutex);
  if (q.startups == 0) return E_UNEXPECTED;
  --q.startups;
  return S_OK;
}

HRESULT MFLockSharedWorkQueue(const std::string& name, int /*basePriority*/, uint32_t* queueId) {
  if (queueId == nullptr) return E_INVALIDARG;
  Queues& q = queues();
  std::lock_guard<std::mutex> lock(q.mutex);
  auto it = q.shared.find(name);
  uint32_t id;
  if (it == q.shared.end()) {
    id = q.nextQueueId++;
    q.queues[id] = new Queue(1);  // one thread: items run one at a time, in order
    q.shared[name] = id;
  } else {
    id = it->second;
  }
  ++q.locks[id];
  *queueId = id;
  return S_OK;
}

HRESULT MFUnlockWorkQueue(uint32_t queueId) {
  Queues& q = queues();
  std::lock_guard<std::mutex> lock(q.mutex);
  auto it = q.locks.find(queueId);
  if (it == q.locks.end() || it->second == 0) return E_INVALIDARG;
  --it->second;
  return S_OK;
}

HRESULT MFPutWorkItem2(uint32_t queueId, std::function<void()> work) {
  if (!work) return E_INVALIDARG;
  Queues& q = queues();
  Queue* queue;
  {
    std::lock_guard<std::mutex> lock(q.mutex);
    queue = find(q, queueId);
  }
  if (queue == nullptr) return E_INVALIDARG;
  ++q.pending;
  queue->put([&q, work = std::move(work)] {
    work();
    --q.pending;
  });
  return S_OK;
}

HRESULT MFPutWaitingWorkItem(const std::shared_ptr<platform::Event>& event, uint32_t queueId,
                             std::function<void()> work, uint64_t* key) {
  if (!event || !work || key == nullptr) return E_INVALIDARG;
  Queues& q = queues();
  uint64_t id;
  {
    std::lock_guard<std::mutex> lock(q.mutex);
    if (find(q, queueId) == nullptr) return E_INVALIDARG;
    id = q.nextKey++;
    q.waiting[id] = Waiting{event};
  }
  *key = id;
  ++q.pending;
  event->ArmObserver([&q, id, queueId, work = std::move(work)]() mutable {
    {
      std::lock_guard<std::mutex> lock(q.mutex);
      q.waiting.erase(id);
    }
    MFPutWorkItem2(queueId, std::move(work));
    --q.pending;
  });
  return S_OK;
}

HRESULT MFCancelWorkItem(uint64_t key) {
  Queues& q = queues();
  std::shared_ptr<platform::Event> event;
  {
    std::lock_guard<std::mutex> lock(q.mutex);
    auto it = q.waiting.find(key);
    if (it == q.waiting.end()) return E_NOTFOUND;
    event = it->second.event;
    q.waiting.erase(it);
  }
  if (!event->DisarmObserver()) return E_NOTFOUND;  // fired meanwhile
  --q.pending;
  return S_OK;
}

int PendingWorkItems() { return queues().pending.load(); }

}  // namespace platform::audio
