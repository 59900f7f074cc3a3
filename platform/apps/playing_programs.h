// The programs that play sound now, as the PulseAudio server knows them: each
// playback stream (sink input) carries the process id of the program that
// opened it (`application.process.id`). A stream that is corked (paused) plays
// nothing and is left out.
//
// Every query opens its own connection and closes it before returning, and
// the whole of it (connect, list, close) is bounded in time: a sound server
// that is gone fails at once, one that stopped answering fails at the limit,
// so a caller never hangs on it.
//
// Thread safety: the function may be called from any thread; queries share
// nothing.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace platform::apps {

// Fills `pids` with the process ids of the programs whose streams play, in the
// server's stream order, each program once, at most `capacity` of them. False
// (and `pids` empty) when the server cannot be reached or has not answered
// within `limit`.
bool QueryPlayingPrograms(size_t capacity, std::chrono::milliseconds limit, std::vector<uint32_t>& pids);

}  // namespace platform::apps
