// The programs that play sound, from a private PulseAudio server: players
// started by the test (paplay) and streams of the test process itself, which
// it corks and uncorks. Skipped with the reason when the server cannot start.
#include <gtest/gtest.h>
#include <pulse/pulseaudio.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/subprocess.h"
#include "platform/apps/render_processes.h"
#include "platform/core/backing.h"
#include "support/pulse_server.h"
#include "support/test_support.h"
#include "support/platform_scopes.h"

namespace platform::apps {
namespace {

using Clock = std::chrono::steady_clock;

struct Listing {
  int result = -1;
  std::vector<uint32_t> pids;
};

Listing Enumerate(int capacity = 8) {
  std::vector<RenderProcessEntry> entries(8);
  Listing listing;
  int count = capacity;
  listing.result = TSV_EnumerateRenderProcess(&count, entries.data());
  if (listing.result == 0) {
    for (int i = 0; i < count; ++i) listing.pids.push_back(entries[static_cast<size_t>(i)].processId);
  }
  return listing;
}

// Asks until the call succeeds with a listing that satisfies `wanted` (a busy
// machine's server may be slow to show a new stream, or to answer at all);
// the last listing either way.
Listing EnumerateUntil(const std::function<bool(const Listing&)>& wanted, int capacity = 8) {
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  Listing listing = Enumerate(capacity);
  while (!(listing.result == 0 && wanted(listing)) && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    listing = Enumerate(capacity);
  }
  return listing;
}

bool Lists(const Listing& l, std::vector<uint32_t> pids) { return l.result == 0 && l.pids == pids; }

// The next listing the server gives.
Listing Answered(int capacity = 8) {
  return EnumerateUntil([](const Listing&) { return true; }, capacity);
}

// A playback stream of this process on the server, made corked or playing.
class OwnStream {
 public:
  ~OwnStream() {
    if (loop_ == nullptr) return;
    pa_threaded_mainloop_lock(loop_);
    if (stream_ != nullptr) {
      pa_stream_disconnect(stream_);
      pa_stream_unref(stream_);
    }
    if (context_ != nullptr) {
      pa_context_disconnect(context_);
      pa_context_unref(context_);
    }
    pa_threaded_mainloop_unlock(loop_);
    pa_threaded_mainloop_stop(loop_);
    pa_threaded_mainloop_free(loop_);
  }

  // True once the server holds the stream.
  bool Open(bool corked) {
    loop_ = pa_threaded_mainloop_new();
    if (loop_ == nullptr || pa_threaded_mainloop_start(loop_) < 0) return false;
    pa_threaded_mainloop_lock(loop_);
    context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "playing-programs-test");
    const bool connecting = pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0;
    pa_threaded_mainloop_unlock(loop_);
    if (!connecting || !Await([this] { return pa_context_get_state(context_) == PA_CONTEXT_READY; })) return false;
    pa_threaded_mainloop_lock(loop_);
    const pa_sample_spec format{PA_SAMPLE_S16LE, 44100, 2};
    stream_ = pa_stream_new(context_, "own", &format, nullptr);
    const auto flags = corked ? PA_STREAM_START_CORKED : PA_STREAM_NOFLAGS;
    const bool connected = pa_stream_connect_playback(stream_, "qeltest", nullptr, flags, nullptr, nullptr) >= 0;
    pa_threaded_mainloop_unlock(loop_);
    return connected && Await([this] { return pa_stream_get_state(stream_) == PA_STREAM_READY; });
  }

  void Cork(bool corked) {
    pa_threaded_mainloop_lock(loop_);
    if (pa_operation* o = pa_stream_cork(stream_, corked ? 1 : 0, nullptr, nullptr)) pa_operation_unref(o);
    pa_threaded_mainloop_unlock(loop_);
  }

 private:
  // Checks `done` under the loop's lock until it holds or time runs out.
  bool Await(const std::function<bool()>& done) {
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (Clock::now() < deadline) {
      pa_threaded_mainloop_lock(loop_);
      const bool ok = done();
      pa_threaded_mainloop_unlock(loop_);
      if (ok) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  pa_stream* stream_ = nullptr;
};

class PlayingPrograms : public ::testing::Test {
 protected:
  void SetUp() override {
    forceBacking("apps", Backing::Real);
    ReselectRenderBacking();
    if (!pulse_.Start()) GTEST_SKIP() << pulse_.error();
    tone_ = dir_.file("tone.wav");
    const qel::CapturedRun made =
        qel::runAndCapture({qel::test::ffmpegPath(), "-v", "error", "-nostdin", "-f", "lavfi", "-i",
                            "sine=frequency=440:duration=60", "-ac", "2", "-ar", "44100", tone_},
                           true);
    ASSERT_EQ(made.exitCode, 0) << made.output;
  }
  void TearDown() override {
    players_.clear();
    pulse_.Stop();
    clearForcedBacking("apps");
    ReselectRenderBacking();
  }
  uint32_t Play() {
    players_.push_back(qelrec::test::PlayIntoTestSink(tone_));
    EXPECT_NE(players_.back(), nullptr) << "paplay cannot be started";
    return players_.back() ? static_cast<uint32_t>(players_.back()->pid()) : 0;
  }

  qel::test::TempDir dir_;
  qelrec::test::PulseServer pulse_;
  std::string tone_;
  std::vector<std::unique_ptr<qel::Subprocess>> players_;
};

TEST_F(PlayingPrograms, EachPlayingProgramOnceInStreamOrderUpToTheCapacity) {
  const uint32_t player = Play();
  ASSERT_TRUE(Lists(EnumerateUntil([&](const Listing& l) { return Lists(l, {player}); }), {player}));
  // This process plays too, on two streams: it is one program.
  const auto self = static_cast<uint32_t>(::getpid());
  OwnStream first;
  OwnStream second;
  ASSERT_TRUE(first.Open(false));
  ASSERT_TRUE(second.Open(false));
  const Listing both = EnumerateUntil([&](const Listing& l) { return Lists(l, {player, self}); });
  EXPECT_TRUE(Lists(both, {player, self})) << ::testing::PrintToString(both.pids);
  EXPECT_TRUE(Lists(Answered(1), {player})) << "at most the capacity";
  EXPECT_TRUE(Lists(Answered(0), {}));
}

TEST_F(PlayingPrograms, CorkedStreamsPlayNothing) {
  const auto self = static_cast<uint32_t>(::getpid());
  OwnStream stream;
  ASSERT_TRUE(stream.Open(true));  // the server holds it from here on
  EXPECT_TRUE(Lists(Answered(), {}));
  stream.Cork(false);
  EXPECT_TRUE(Lists(EnumerateUntil([&](const Listing& l) { return Lists(l, {self}); }), {self}));
  stream.Cork(true);
  EXPECT_TRUE(Lists(EnumerateUntil([&](const Listing& l) { return Lists(l, {}); }), {}));
}

// A server that stopped answering fails the call within its limit, never
// hangs it; one that is gone fails it at once. Either way the call answers
// again once the server does.
TEST_F(PlayingPrograms, StalledOrMissingServerFailsInTime) {
  const uint32_t player = Play();
  ASSERT_TRUE(Lists(EnumerateUntil([&](const Listing& l) { return Lists(l, {player}); }), {player}));
  ASSERT_EQ(::kill(pulse_.pid(), SIGSTOP), 0);
  auto start = Clock::now();
  EXPECT_NE(Enumerate().result, 0);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
  ASSERT_EQ(::kill(pulse_.pid(), SIGCONT), 0);
  EXPECT_TRUE(Lists(Answered(), {player}));

  pulse_.Stop();
  start = Clock::now();
  EXPECT_NE(Enumerate().result, 0);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
  // A list set by a test (or the run script) is what plays from then on.
  {
    qel::test::ScopedRenderProcesses set({player});
    EXPECT_TRUE(Lists(Enumerate(), {player}));
  }
}

}  // namespace
}  // namespace platform::apps
