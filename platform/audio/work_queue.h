// Work queues: the threads the loopback audio capture runs its steps on. The
// multithreaded queue runs items on a small pool; a shared named queue
// ("Capture") runs its items one at a time, in order, on a thread of its own. A
// waiting work item is queued when its event is set (consuming an auto-reset
// signal) unless it was cancelled first.
//
// Thread safety: all functions may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/core/events.h"

namespace platform::audio {

using HRESULT = int32_t;
inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
inline constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFFu);
inline constexpr HRESULT E_NOTFOUND = static_cast<HRESULT>(0x80070490u);
inline constexpr bool Failed(HRESULT hr) { return hr < 0; }

// Id of the multithreaded queue.
inline constexpr uint32_t kMultithreadedQueue = 5;

HRESULT MFStartup();
HRESULT MFShutdown();
// Locks the shared queue of that name (made on first use) and gives its id.
HRESULT MFLockSharedWorkQueue(const std::string& name, int basePriority, uint32_t* queueId);
HRESULT MFUnlockWorkQueue(uint32_t queueId);
// Queues `work`; E_INVALIDARG for an unknown queue or empty work.
HRESULT MFPutWorkItem2(uint32_t queueId, std::function<void()> work);
// Queues `work` on `queueId` once `event` is set; `key` receives a non-zero id.
HRESULT MFPutWaitingWorkItem(const std::shared_ptr<platform::Event>& event, uint32_t queueId,
                             std::function<void()> work, uint64_t* key);
// Cancels a waiting item that has not been queued yet; E_NOTFOUND otherwise.
HRESULT MFCancelWorkItem(uint64_t key);

// Items queued or waiting and not yet finished (tests).
int PendingWorkItems();

}  // namespace platform::audio
