#include "base/hardware_flags.h"

#include <atomic>

namespace qel {
namespace {

// One atomic word, so a reader never sees an answer half written.
std::atomic<std::uint32_t> gCachedSupport{0};

}  // namespace

std::uint32_t HardwareSupport::value() const {
  return static_cast<std::uint32_t>(nvidia) | (static_cast<std::uint32_t>(amd) << 8) |
         (static_cast<std::uint32_t>(intel) << 16) | (static_cast<std::uint32_t>(apple) << 24);
}

HardwareSupport HardwareSupport::fromValue(std::uint32_t value) {
  HardwareSupport support;
  support.nvidia = static_cast<std::uint8_t>(value & 0xff);
  support.amd = static_cast<std::uint8_t>((value >> 8) & 0xff);
  support.intel = static_cast<std::uint8_t>((value >> 16) & 0xff);
  support.apple = static_cast<std::uint8_t>((value >> 24) & 0xff);
  return support;
}

HardwareSupport cachedHardwareSupport() {
  return HardwareSupport::fromValue(gCachedSupport.load(std::memory_order_acquire));
}

void publishHardwareSupport(const HardwareSupport& support) {
  gCachedSupport.store(support.value(), std::memory_order_release);
}

}  // namespace qel
