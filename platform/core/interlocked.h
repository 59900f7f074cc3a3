// Interlocked counters: atomic read-modify-write on a shared integer with the
// results the recorder's ring hand-over relies on (the new value for increment
// and decrement, the old one for exchange). Sequentially consistent, like the
// full barriers of the calls they stand in for.
#pragma once

#include <atomic>
#include <type_traits>

namespace platform {

template <typename T>
requires std::is_integral_v<T> T InterlockedIncrement(std::atomic<T>& value) { return value.fetch_add(1) + 1; }

template <typename T>
requires std::is_integral_v<T> T InterlockedDecrement(std::atomic<T>& value) { return value.fetch_sub(1) - 1; }

// Stores `desired` and returns the previous value.
template <typename T>
requires std::is_integral_v<T> T InterlockedExchange(std::atomic<T>& value, T desired) {
  return value.exchange(desired);
}

// Stores `desired` when the value equals `expected`; returns the previous value.
template <typename T>
requires std::is_integral_v<T> T InterlockedCompareExchange(std::atomic<T>& value, T desired, T expected) {
  value.compare_exchange_strong(expected, desired);
  return expected;
}

}  // namespace platform
