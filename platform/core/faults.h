// Fault injection, call counters and protocol-violation records for the
// simulated backings.
//
// Calls are keyed by name ("display.BitBlt", "audio.Initialize"), so every
// layer adds its own calls without a central list. A layer that prefers an
// enum for its calls gives it a `callName(Enum)` function (found by
// argument-dependent lookup) and the enum overloads below accept it.
//
// A layer asks `injectedFault(call, target)` once at the top of every
// simulated call: it counts the call and answers the error to report when an
// armed fault matches. Tests arm faults with `fail` and read counters with
// `callCount`.
//
// Thread safety: every function may be called from any thread.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Target of a call that works on no particular object, and the fault target
// that matches every object.
inline constexpr int64_t kNoTarget = -1;
inline constexpr int64_t kAnyTarget = std::numeric_limits<int64_t>::min();
inline constexpr int64_t kForever = -1;

struct Fault {
  int64_t target = kAnyTarget;  // object the call works on (a handle's id, a device index)
  int64_t from_call = 0;        // matching calls that pass before the first failure
  int64_t times = 1;            // failing calls, or kForever
  uint32_t code = 1;            // the error the failing call reports
};

// Arms a fault for `call`. Several faults may be armed for one call; the first
// armed one that matches decides.
void fail(std::string_view call, const Fault& fault);
// Counts one call of `call` on `target` and answers the injected error, if any.
std::optional<uint32_t> injectedFault(std::string_view call, int64_t target = kNoTarget);
// Calls counted for `call` since the last reset (any target).
uint64_t callCount(std::string_view call);
// Drops all faults and counters.
void resetFaults();

// A simulated object saw a call its real counterpart forbids (a frame acquired
// twice, a release without an acquire). Tests assert that none happened.
void reportViolation(std::string text);
std::vector<std::string> violations();
void clearViolations();

template <typename Call>
requires requires(Call c) {
  { callName(c) } -> std::convertible_to<std::string_view>;
}
void fail(Call call, const Fault& fault) { fail(std::string_view(callName(call)), fault); }

template <typename Call>
requires requires(Call c) {
  { callName(c) } -> std::convertible_to<std::string_view>;
}
std::optional<uint32_t> injectedFault(Call call, int64_t target = kNoTarget) {
  return injectedFault(std::string_view(callName(call)), target);
}

template <typename Call>
requires requires(Call c) {
  { callName(c) } -> std::convertible_to<std::string_view>;
}
uint64_t callCount(Call call) { return callCount(std::string_view(callName(call))); }

}  // namespace platform
