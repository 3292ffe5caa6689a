#include "os/syscall_cancel.hpp"

#include <signal.h>

#include <cstddef>

#include "os/assert.hpp"

namespace vorn::os::syscall_cancel {

namespace {

using State = Token::State;

// The handler only has to exist: its delivery turns the blocked call into EINTR.
extern "C" void onInterrupt(int) {}

// Guards use_count, previous and previous_saved. A plain pthread mutex:
// statically initialised, so usable whenever the first pool is created.
pthread_mutex_t handler_mutex = PTHREAD_MUTEX_INITIALIZER;
std::size_t use_count = 0;
struct sigaction previous;
bool previous_saved = false;  // the install succeeded, so there is something to restore

thread_local Token* current_token = nullptr;

// acq_rel on every transition: the worker publishes its handle before
// blocked, the canceller publishes its request before blocked_canceling.
bool transition(Token* token, State from, State to) noexcept {
  return token->state.compare_exchange_strong(from, to, std::memory_order_acq_rel, std::memory_order_acquire);
}

}  // namespace

void installHandler() noexcept {
  ::pthread_mutex_lock(&handler_mutex);
  if (use_count++ == 0) {
    struct sigaction action{};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a blocked call must see EINTR (libc adds SA_RESTORER)
    previous_saved = ::sigaction(interrupt_signal, &action, &previous) == 0;
  }
  ::pthread_mutex_unlock(&handler_mutex);
}

void uninstallHandler() noexcept {
  ::pthread_mutex_lock(&handler_mutex);
  VORN_ASSERT(use_count > 0);
  if (use_count > 0 && --use_count == 0 && previous_saved) {
    ::sigaction(interrupt_signal, &previous, nullptr);
    previous_saved = false;
  }
  ::pthread_mutex_unlock(&handler_mutex);
}

void acceptInterrupts() noexcept {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, interrupt_signal);
  ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

Token* currentToken() noexcept { return current_token; }

void setCurrentToken(Token* token) noexcept { current_token = token; }

bool Syscall::begin() noexcept {
  if (token == nullptr) return true;
  return transition(token, State::idle, State::blocked);
}

bool Syscall::checkCancel() noexcept {
  if (token == nullptr) return false;
  // Only the canceller moves the state while we are blocked, and only to
  // blocked_canceling.
  if (transition(token, State::blocked_canceling, State::canceled)) return true;
  VORN_ASSERT(token->state.load(std::memory_order_relaxed) == State::blocked);
  return false;
}

void Syscall::finish() noexcept {
  if (token == nullptr) return;
  if (transition(token, State::blocked, State::idle)) return;
  // The cancellation came after the call had returned: the token ends
  // cancelled, so a later call of the same job is refused.
  bool moved = transition(token, State::blocked_canceling, State::canceled);
  VORN_ASSERT(moved);
  static_cast<void>(moved);
}

bool requestCancel(Token* token) noexcept {
  State s = token->state.load(std::memory_order_acquire);  // acquire: as in transition
  for (;;) {
    if (s == State::idle) {
      if (token->state.compare_exchange_weak(s, State::canceled, std::memory_order_acq_rel,
                                             std::memory_order_acquire)) {
        return false;
      }
    } else if (s == State::blocked) {
      if (token->state.compare_exchange_weak(s, State::blocked_canceling, std::memory_order_acq_rel,
                                             std::memory_order_acquire)) {
        return true;
      }
    } else {
      return false;  // already being cancelled, or done
    }
  }
}

void interrupt(Token* token) noexcept {
  // acquire: pairs with the worker's handle store, which precedes its
  // idle -> blocked transition.
  if (token->state.load(std::memory_order_acquire) != State::blocked_canceling) return;
  pthread_t thread = token->handle.load(std::memory_order_acquire);
  if (thread != 0) ::pthread_kill(thread, interrupt_signal);
}

}  // namespace vorn::os::syscall_cancel
