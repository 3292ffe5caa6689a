#include "ev/condition_futex.hpp"

#include <cerrno>
#include <climits>

#include "os/futex.hpp"

namespace vorn::ev {

bool ConditionFutex::wait(MutexFutex& mutex, const timespec* timeout) noexcept {
  // relaxed: the predicate is published by the mutex; the word only has to
  // differ from this value once someone has signalled, and the kernel compares
  // it atomically before sleeping.
  std::uint32_t seen = seq.load(std::memory_order_relaxed);
  mutex.unlock();
  int rc = os::futexWait(&seq, seen, timeout);
  mutex.lock();
  return rc == ETIMEDOUT;
}

void ConditionFutex::signal() noexcept {
  // relaxed: only the change of value matters (see wait).
  seq.fetch_add(1, std::memory_order_relaxed);
  os::futexWake(&seq, 1);
}

void ConditionFutex::broadcast() noexcept {
  seq.fetch_add(1, std::memory_order_relaxed);  // relaxed: as in signal
  os::futexWake(&seq, INT_MAX);
}

}  // namespace vorn::ev
