// The simulated display's process-wide state, shared by the simulated backing
// and the test controls of sim_display.h.
#pragma once

#include <cstdint>
#include <map>
#include <utility>
#include <mutex>
#include <vector>

#include "platform/display/sim_display.h"

namespace platform::display::internal {

struct SimFramebuffer {
  int width = 0;
  int height = 0;
  std::vector<uint32_t> pixels;  // desktop orientation, rows top-down
};

// What one live duplication has not yet delivered.
struct SimDuplicationState {
  size_t device = 0;
  uint64_t generation = 0;                   // the device's generation when duplicated
  bool first = true;                         // the first image shows the whole output
  uint32_t pendingFrames = 0;                // paints since the last image
  std::vector<Rect> dirty;                   // desktop coordinates of the device
  std::vector<std::pair<Rect, Rect>> moves;  // source, destination
};

struct SimState {
  std::mutex mutex;
  std::vector<sim::Device> devices;
  std::vector<SimFramebuffer> framebuffers;  // one per device (empty without a mode)
  int dpi = 96;
  Window nextWindow = 0x1000;
  std::map<Window, sim::WindowEntry> windows;  // listing order = creation order
  std::map<Window, WindowPlacement> placements;
  std::map<uint32_t, std::wstring> processes;
  std::wstring inputDesktop = L"Default";
  bool compositionEnabled = true;
  int compositionCalls = 0;
  uint32_t sessionId = 1;
  std::vector<uint64_t> generations;  // per device; bumped by a mode change
  std::vector<SimDuplicationState*> duplications;
  sim::DuplicationKnobs knobs;
  uint64_t imagesDelivered = 0;
};

// REQUIRES: s.mutex held. Tells the live duplications of `device` about a change.
void NoteDamageLocked(SimState& s, size_t device, const Rect& rect);
void NoteMoveLocked(SimState& s, size_t device, const Rect& source, const Rect& destination);
// Every device may have changed its mode: live duplications lose access.
void NoteDevicesReplacedLocked(SimState& s);

// The state, made in its start state on first use.
SimState& simState();

}  // namespace platform::display::internal
