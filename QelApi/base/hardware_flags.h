// Which vendor H.264 encoders work on this machine, as plain flags, and the
// answer the engine's probe (engine/hardware_support.h) last published. The
// compression operation reads that answer when it picks an encoder; it never
// starts a probe.
//
// Thread safety: the published answer is one atomic word; any thread may read
// it while another publishes.
#pragma once

#include <cstdint>

namespace qel {

// Which vendor encoders work: each byte is 1 when the encoder works, else 0.
struct HardwareSupport {
  std::uint8_t nvidia = 0;  // h264_nvenc
  std::uint8_t amd = 0;     // h264_amf
  std::uint8_t intel = 0;   // h264_qsv
  std::uint8_t apple = 0;   // h264_videotoolbox

  // The four bytes as one number: nvidia is the lowest byte, apple the highest
  // (a machine with only a working Intel encoder gives 65536).
  std::uint32_t value() const;
  static HardwareSupport fromValue(std::uint32_t value);

  bool operator==(const HardwareSupport&) const = default;
};

// The answer of the last completed probe, all 0 until one completed. Never probes.
HardwareSupport cachedHardwareSupport();

// Publishes a completed probe's answer (the probe calls it; release order, so a
// reader that sees a later flag of the probe's also sees this answer).
void publishHardwareSupport(const HardwareSupport& support);

}  // namespace qel
