// Timers: Completion records of kind `timer` that the loop keeps in one
// pairing heap per clock instead of handing them to the backend.
//
// A timer is new until armed; running exactly while it sits in its clock's
// heap; completed once checkTimers (or a cancellation) takes it out; dead
// after dispatch. A fired timer reads deadline 0 and has_result true.
// Thread rules: heap membership, deadline and state change only with the
// loop's timer_mutex held; every timer call (setTimer, clearTimer, the
// check) is made on the loop's owning thread.
#pragma once

#include <cstdint>
#include <optional>

#include "ev/completion.hpp"
#include "ev/heap.hpp"

namespace vorn::ev {

enum class Clock : std::uint8_t {
  awake = 0,        // CLOCK_MONOTONIC: stops during suspend
  boot = 1,         // CLOCK_BOOTTIME: counts suspend
  real = 2,         // CLOCK_REALTIME: calendar time, can jump
  cpu_process = 3,  // cannot carry timers
  cpu_thread = 4,   // cannot carry timers
};

inline constexpr int clock_slots = 3;

// Heap slot of a clock; ends the process for the CPU-time clocks.
int clockIndex(Clock clock) noexcept;

// What the owner asked for. none never expires; duration is relative to the
// clock's cached time; deadline is absolute on the timer's clock.
struct Timeout {
  enum class Tag : std::uint8_t { none = 0, duration = 1, deadline = 2 };
  Tag tag;
  std::uint64_t ns;

  static constexpr Timeout never() noexcept { return {Tag::none, 0}; }
  static constexpr Timeout after(std::uint64_t ns) noexcept { return {Tag::duration, ns}; }
  static constexpr Timeout at(std::uint64_t ns) noexcept { return {Tag::deadline, ns}; }
};

struct Timer {
  Completion c;
  Timeout timeout;
  std::uint64_t deadline;  // absolute expiry on the timer's clock; 0 when not armed
  HeapNode heap;
  Clock clock;

  // Completion::init(timer), awake clock, not armed.
  void init(Timeout t) noexcept;
};

// Result of one timer check: how long the loop may wait for the earliest
// awake-clock deadline (none: no such timer), and whether any timer fired.
struct TimerCheckResult {
  std::optional<std::uint64_t> next_timeout;
  bool fired;
};

}  // namespace vorn::ev
