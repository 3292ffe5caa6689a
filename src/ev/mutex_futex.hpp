// A three-state futex mutex: 0 unlocked, 1 locked, 3 locked with waiters.
// Unlock enters the kernel only when someone may be waiting. Not recursive;
// any thread. Guards the loop's timer heaps and the pool's queue and workers.
#pragma once

#include <atomic>
#include <cstdint>

#include "os/futex.hpp"

namespace vorn::ev {

struct MutexFutex {
  std::atomic<std::uint32_t> state{0};

  void lock() noexcept {
    std::uint32_t expected = 0;
    // acquire: the critical section must see what the last holder wrote.
    if (state.compare_exchange_strong(expected, 1, std::memory_order_acquire, std::memory_order_relaxed)) return;
    if (expected == 3) os::futexWait(&state, 3, nullptr);
    // Marking the word 3 before sleeping tells the holder to wake someone.
    while (state.exchange(3, std::memory_order_acquire) != 0) os::futexWait(&state, 3, nullptr);
  }

  void unlock() noexcept {
    // release: publishes the critical section to the next holder.
    if (state.exchange(0, std::memory_order_release) == 3) os::futexWake(&state, 1);
  }
};

// Scope guard for MutexFutex.
class MutexLock {
 public:
  explicit MutexLock(MutexFutex& m) noexcept : m_(m) { m_.lock(); }
  ~MutexLock() { m_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  MutexFutex& m_;
};

}  // namespace vorn::ev
