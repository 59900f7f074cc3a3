#include "platform/apps/playing_programs.h"

#include <pulse/pulseaudio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

namespace platform::apps {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kClientName = "qelrecorder";

// A main loop of our own, run only inside the query (never a thread of
// libpulse's), so every wait is one poll bounded by the deadline; and its
// context. Both are freed with the object.
class Session {
 public:
  explicit Session(Clock::time_point deadline) : deadline_(deadline) {}
  ~Session() {
    if (context_ != nullptr) {
      pa_context_disconnect(context_);
      pa_context_unref(context_);
    }
    if (loop_ != nullptr) pa_mainloop_free(loop_);
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Connects to the server the environment names, never spawning one.
  bool Connect() {
    loop_ = pa_mainloop_new();
    if (loop_ == nullptr) return false;
    context_ = pa_context_new(pa_mainloop_get_api(loop_), kClientName);
    if (context_ == nullptr) return false;
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) return false;
    const bool settled = RunUntil([this] {
      const pa_context_state_t state = pa_context_get_state(context_);
      return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
    });
    return settled && pa_context_get_state(context_) == PA_CONTEXT_READY;
  }

  // Runs the loop until `done` answers true. False at the deadline, or when
  // the loop fails.
  template <typename Done>
  bool RunUntil(Done done) {
    while (!done()) {
      const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline_ - Clock::now()).count();
      if (left <= 0) return false;
      if (pa_mainloop_prepare(loop_, static_cast<int>(std::min<long long>(left, INT_MAX))) < 0) return false;
      if (pa_mainloop_poll(loop_) < 0) return false;
      if (pa_mainloop_dispatch(loop_) < 0) return false;
    }
    return true;
  }

  pa_context* context() const { return context_; }

 private:
  Clock::time_point deadline_;
  pa_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
};

// The host name as the server's clients give it, "" when it cannot be read.
std::string HostName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return std::string();
  return name;
}

struct Listing {
  size_t capacity = 0;
  std::string host;
  std::vector<uint32_t> pids;
  bool done = false;
  bool failed = false;
};

// A decimal process id, 0 when the text is none.
uint32_t ParsePid(const char* text) {
  if (text == nullptr || *text < '0' || *text > '9') return 0;
  errno = 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0' || value > UINT32_MAX) return 0;
  return static_cast<uint32_t>(value);
}

void OnSinkInput(pa_context*, const pa_sink_input_info* info, int eol, void* user) {
  auto* listing = static_cast<Listing*>(user);
  if (eol != 0) {
    listing->done = true;
    listing->failed = eol < 0;
    return;
  }
  if (info == nullptr || info->corked) return;
  // A client of another machine gives the id of a process there.
  const char* host = pa_proplist_gets(info->proplist, PA_PROP_APPLICATION_PROCESS_HOST);
  if (host != nullptr && !listing->host.empty() && listing->host != host) return;
  const uint32_t pid = ParsePid(pa_proplist_gets(info->proplist, PA_PROP_APPLICATION_PROCESS_ID));
  if (pid == 0 || listing->pids.size() >= listing->capacity) return;
  // A program that plays several streams is one program.
  if (std::find(listing->pids.begin(), listing->pids.end(), pid) == listing->pids.end()) listing->pids.push_back(pid);
}

}  // namespace

bool QueryPlayingPrograms(size_t capacity, std::chrono::milliseconds limit, std::vector<uint32_t>& pids) {
  pids.clear();
  Session session(Clock::now() + limit);
  if (!session.Connect()) return false;
  Listing listing;
  listing.capacity = capacity;
  listing.host = HostName();
  pa_operation* operation = pa_context_get_sink_input_info_list(session.context(), &OnSinkInput, &listing);
  if (operation == nullptr) return false;
  const bool answered =
      session.RunUntil([&] { return listing.done || pa_operation_get_state(operation) != PA_OPERATION_RUNNING; });
  // An unfinished listing must not call back into `listing` after it is gone.
  if (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) pa_operation_cancel(operation);
  pa_operation_unref(operation);
  if (!answered || !listing.done || listing.failed) return false;
  pids = std::move(listing.pids);
  return true;
}

}  // namespace platform::apps
