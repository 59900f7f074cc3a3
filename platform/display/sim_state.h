// The simulated display's process-wide state, shared by the simulated backing
// and the test controls of sim_display.h.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "platform/display/sim_display.h"

namespace platform::display::internal {

struct SimFramebuffer {
  int width = 0;
  int height = 0;
  std::vector<uint32_t> pixels;  // desktop orientation, rows top-down
};

struct SimState {
  std::mutex mutex;
  std::vector<sim::Device> devices;
  std::vector<SimFramebuffer> framebuffers;  // one per device (empty without a mode)
  int dpi = 96;
  Window nextWindow = 0x1000;
  std::map<Window, sim::WindowEntry> windows;  // listing order = creation order
  std::map<uint32_t, std::wstring> processes;
};

// The state, made in its start state on first use.
SimState& simState();

}  // namespace platform::display::internal
