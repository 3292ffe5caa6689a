// A condition variable on one 32-bit futex word used as a sequence number.
//
// A waiter reads the sequence while it holds its mutex, releases the mutex,
// sleeps while the word still has that value and retakes the mutex. signal and
// broadcast bump the sequence and wake one or all sleepers, so a bump that
// lands between the waiter's read and its sleep makes the sleep return at
// once: no wake-up is lost as long as the predicate is changed under the
// mutex. Wake-ups may be spurious (a signal handler, a stale wake): callers
// re-check their predicate. Any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>

#include "ev/mutex_futex.hpp"

namespace vorn::ev {

struct ConditionFutex {
  std::atomic<std::uint32_t> seq{0};

  // Caller holds `mutex`; holds it again on return. `timeout` is relative
  // (null: no limit). Returns true when the wait ended by time-out, false on
  // a wake-up (possibly spurious).
  bool wait(MutexFutex& mutex, const timespec* timeout) noexcept;

  // Wakes one waiter.
  void signal() noexcept;
  // Wakes every waiter.
  void broadcast() noexcept;
};

}  // namespace vorn::ev
