// Interruptible blocking system calls on pool workers.
//
// Each delegated job carries a Token. The worker makes the token its thread's
// current token while the job runs; a canceller on another thread moves the
// token's state and sends SIGURG to the worker, whose do-nothing handler
// (installed without SA_RESTART) makes the blocked call return EINTR.
//
// Token state, changed only by compare-and-swap, from both sides:
//   idle -> blocked (call in progress) -> idle (call returned)
//   idle -> canceled (cancelled before the call: it is never made)
//   blocked -> blocked_canceling (interrupt requested) -> canceled
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

namespace vorn::os::syscall_cancel {

// SIGURG: ignored by default, so a stray one is harmless.
inline constexpr int interrupt_signal = 23;

struct Token {
  enum class State : std::uint8_t { idle = 0, blocked = 1, blocked_canceling = 2, canceled = 3 };

  // Worker running the job: written by the worker before the job runs and
  // cleared after; null means no signal can reach it (the loop's resend
  // step covers that window).
  std::atomic<pthread_t> handle{0};
  std::atomic<State> state{State::idle};
};

}  // namespace vorn::os::syscall_cancel
