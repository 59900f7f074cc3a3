// Which source a stand-in layer serves: the machine's real one (the X server,
// the sound server) or the deterministic simulation the tests drive.
//
// Each layer asks once per process (`chooseBacking`) and keeps the answer; a
// test forces either backing before the layer's first use, or re-selects it
// with the layer's own testing entry. The environment variable
// QEL_BACKING=sim forces every layer to its simulation (CI machines that have
// a display but must not record it).
//
// Thread safety: all functions may be called from any thread.
#pragma once

#include <functional>
#include <optional>
#include <string_view>

namespace platform {

enum class Backing { Real, Simulated };

// Forces the backing of `layer` ("display", "audio", ...) for this process;
// takes effect at the layer's next choice.
void forceBacking(std::string_view layer, Backing backing);
// Drops a forced backing of `layer`.
void clearForcedBacking(std::string_view layer);
// The forced backing of `layer`, if any (QEL_BACKING=sim counts as forced).
std::optional<Backing> forcedBacking(std::string_view layer);

// The layer's choice: the forced backing when there is one, else Real when
// `realAvailable` answers true, else Simulated. `realAvailable` is not called
// when a backing is forced.
Backing chooseBacking(std::string_view layer, const std::function<bool()>& realAvailable);

const char* backingName(Backing backing);

}  // namespace platform
