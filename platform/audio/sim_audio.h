// The simulated audio output: a tone in packets of 441 frames (10 ms), stamped
// by the platform clock (so a test with the fake clock decides when packets are
// due), and the knobs tests turn to exercise the capture's failure paths.
//
// Thread safety: set the knobs before an activation; they are read when a
// client is made.
#pragma once

#include <cstdint>

#include "platform/audio/work_queue.h"

namespace platform::audio {

struct SimAudioKnobs {
  HRESULT activationResult = S_OK;  // handed to the activation handler
  HRESULT initializeResult = S_OK;
  HRESULT startResult = S_OK;
  int bufferFailureAfterPackets = -1;  // GetBuffer fails from that packet on; -1: never
  uint32_t firstPacketDelayMs = 0;     // after Start
  bool noPackets = false;
  double toneHz = 440.0;
  uint32_t packetFrames = 441;
};

void SetSimAudioKnobs(const SimAudioKnobs& knobs);
SimAudioKnobs GetSimAudioKnobs();
// Back to the defaults.
void ResetSimAudio();
// Packets the simulated clients have produced since the last reset.
uint64_t SimPacketsProduced();

}  // namespace platform::audio
