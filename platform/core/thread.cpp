#include "platform/core/thread.h"

#include "platform/core/faults.h"
#include "platform/core/last_error.h"

#include <system_error>
#include <thread>
#include <utility>

namespace platform {

namespace {

std::atomic<ThreadId> nextThreadId{1};
thread_local ThreadId currentId = 0;

}  // namespace

ThreadId CurrentThreadId() {
  if (currentId == 0) currentId = nextThreadId.fetch_add(1);
  return currentId;
}

namespace detail {

struct ThreadState {
  std::thread thread;
  ThreadId id = 0;
  Event published{true, false};
  Event finished{true, false};
};

}  // namespace detail

ThreadHandle::ThreadHandle(ThreadHandle&& other) noexcept : state_(std::move(other.state_)) {}

ThreadHandle& ThreadHandle::operator=(ThreadHandle&& other) noexcept {
  if (this != &other) {
    Close();
    state_ = std::move(other.state_);
  }
  return *this;
}

ThreadId ThreadHandle::Id() const { return state_ ? state_->id : 0; }

WaitResult ThreadHandle::Wait(uint32_t timeoutMs) {
  if (!state_) return WaitResult::Failed;
  return state_->finished.Wait(timeoutMs);
}

void ThreadHandle::Close() {
  std::shared_ptr<detail::ThreadState> state = std::move(state_);
  if (!state || !state->thread.joinable()) return;
  // Joining is only possible from another thread and only waits briefly when
  // the body has already returned; otherwise the thread runs on detached.
  if (state->id != CurrentThreadId() && state->finished.IsSet()) {
    state->thread.join();
  } else {
    state->thread.detach();
  }
}

bool BeginThread(ThreadHandle& handle, std::atomic<ThreadId>* idSlot, std::function<void()> body) {
  if (auto code = injectedFault(kBeginThreadCall)) {
    SetLastError(*code);
    return false;
  }
  auto state = std::make_shared<detail::ThreadState>();
  state->id = nextThreadId.fetch_add(1);
  try {
    state->thread = std::thread([state, body = std::move(body)] {
      currentId = state->id;
      // The starter publishes handle and id first; only then does the body run.
      state->published.Wait();
      body();
      state->finished.Set();
    });
  } catch (const std::system_error&) {
    SetLastError(kErrorNotEnoughMemory);
    return false;
  }
  handle = ThreadHandle();
  handle.state_ = state;
  if (idSlot != nullptr) idSlot->store(state->id);
  state->published.Set();
  return true;
}

}  // namespace platform
