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
//
// A signal sent just before the worker enters the call is lost; the
// canceller side therefore repeats the signal while the token stays
// blocked_canceling (the loop's resend step).
#pragma once

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <utility>

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

// --- Process-wide SIGURG handler -------------------------------------------

// Counted installation of the do-nothing SIGURG handler (empty mask, no
// SA_RESTART). The first user saves the previous action, the last one
// restores it. Any thread; guarded by a process-wide mutex, since every pool
// shares the one handler. A failing sigaction is not reported: the user is
// counted all the same and nothing is restored for it later.
void installHandler() noexcept;
void uninstallHandler() noexcept;

// --- Worker side ------------------------------------------------------------

// Makes sure SIGURG is not blocked on the calling thread: a worker started
// by a thread that blocks it could not be interrupted otherwise.
void acceptInterrupts() noexcept;

// The token of the job the calling thread runs now, or null. Thread-local:
// set and cleared by the worker around the job function.
Token* currentToken() noexcept;
void setCurrentToken(Token* token) noexcept;

// The steps around one interruptible call, on the thread that makes it.
// With no current token the call is a plain one, retried on EINTR.
struct Syscall {
  Token* token = currentToken();

  // Before the call: idle -> blocked. False when the token was already
  // cancelled: the call must not be made.
  bool begin() noexcept;
  // After the call failed with EINTR: true when that was the cancellation
  // (blocked_canceling -> canceled); false when the signal was a stray one
  // and the call is to be made again.
  bool checkCancel() noexcept;
  // After the call returned (not interrupted by the cancellation):
  // blocked -> idle, blocked_canceling -> canceled. The call's outcome stands.
  void finish() noexcept;
};

// Outcome of one interruptible call.
struct SyscallResult {
  long value;     // the call's return value (meaningful when errnum == 0 and not canceled)
  int errnum;     // 0, or the call's errno (never EINTR)
  bool canceled;  // the call was not made or was interrupted by a cancellation

  bool ok() const noexcept { return !canceled && errnum == 0; }
};

// Makes fn() (a libc-style call: -1 and errno on failure) under the current
// token: refused when already cancelled, restarted after a stray signal,
// ended by a cancellation.
template <class Fn>
SyscallResult interruptible(Fn&& fn) noexcept {
  Syscall call;
  if (!call.begin()) return {-1, 0, true};
  for (;;) {
    long r = static_cast<long>(std::forward<Fn>(fn)());
    if (r != -1) {
      call.finish();
      return {r, 0, false};
    }
    int e = errno;
    if (e != EINTR) {
      call.finish();
      return {-1, e, false};
    }
    if (call.checkCancel()) return {-1, 0, true};
  }
}

// --- Canceller side ---------------------------------------------------------

// Requests cancellation: idle -> canceled; blocked -> blocked_canceling.
// A token already blocked_canceling or canceled is left alone. Returns true
// when this call moved a blocked token, i.e. the worker must be interrupted.
// Any thread.
bool requestCancel(Token* token) noexcept;

// Sends SIGURG to the token's worker when the token is blocked_canceling and
// holds a thread. The caller must ensure that the worker thread cannot end
// meanwhile (the pool holds its workers mutex). Any thread.
void interrupt(Token* token) noexcept;

}  // namespace vorn::os::syscall_cancel
