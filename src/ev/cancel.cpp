// Cancellation: requests from any thread, carried out on the owning thread.
//
// cancel_state protocol (compare-and-swap on the whole byte):
//   added record:  0 -> requested|in_progress (cancel) -> requested (cancelLocal
//                  done) -> requested|finished (completion, dispatched normally)
//   completes first while the request is in progress: finished is set but the
//   dispatch is left to cancelLocal's last step, so the record is dispatched
//   exactly once.
//   never added:   0 -> requested; add completes it with Canceled.
#include <pthread.h>

#include "ev/async.hpp"
#include "ev/backends/common.hpp"
#include "ev/group.hpp"
#include "ev/loop.hpp"
#include "ev/send_file.hpp"
#include "ev/thread_pool.hpp"
#include "os/assert.hpp"

namespace vorn::ev {

using os::syscall_cancel::Token;

void Loop::cancel(Completion* c) noexcept {
  Loop* target = c->loop;
  if (target == nullptr) {
    // Never added: add will complete it with Canceled.
    c->cancelFetchOr(CancelState::requested);
    return;
  }
  std::uint8_t old = c->cancel_state.load(std::memory_order_relaxed);
  do {
    if ((old & (CancelState::requested | CancelState::finished)) != 0) return;
  } while (!c->cancel_state.compare_exchange_weak(
      old, static_cast<std::uint8_t>(old | CancelState::requested | CancelState::in_progress),
      std::memory_order_acq_rel, std::memory_order_relaxed));

  if (target == this) {
    target->cancelLocal(c);
    return;
  }
  // release: the owning thread must see cancel_next once it sees c.
  Completion* head = target->cancel_queue.load(std::memory_order_relaxed);
  do {
    c->cancel_next = head;
  } while (!target->cancel_queue.compare_exchange_weak(head, c, std::memory_order_release, std::memory_order_relaxed));
  target->requestWake(Wake::wake_cancel);
}

void Loop::processCancelQueue() noexcept {
  // acquire: pairs with the pushers' release.
  Completion* c = cancel_queue.exchange(nullptr, std::memory_order_acquire);
  while (c != nullptr) {
    Completion* next = c->cancel_next;
    c->cancel_next = nullptr;
    cancelLocal(c);
    c = next;
  }
}

namespace {

void cancelPoolWork(Loop* loop, Work* work, Completion* key) noexcept {
  if (loop->thread_pool == nullptr) return;
  loop->thread_pool->cancel(work);
  Token* token = work->cancel_token;
  // The worker may have been signalled just before it entered its call; keep
  // signalling until it leaves the call.
  if (token != nullptr && token->state.load(std::memory_order_acquire) == Token::State::blocked_canceling) {
    loop->state.addResend(work, key);
  }
}

}  // namespace

void Loop::cancelLocal(Completion* c) noexcept {
  VORN_ASSERT(onOwnerThread());
  if ((c->cancel_state.load(std::memory_order_acquire) & CancelState::finished) == 0) {
    switch (c->op) {
      case Op::timer: {
        c->setError(Error::Canceled);
        {
          MutexLock lock(state.timer_mutex);
          state.clearTimer(containerOf<Timer>(c));
        }
        state.markCompleted(c);
        break;
      }
      case Op::async:
        c->setError(Error::Canceled);
        state.async_handles.remove(c);
        state.markCompleted(c);
        break;
      case Op::group: {
        auto* g = containerOf<Group>(c);
        for (GroupLink* link = g->head; link != nullptr;) {
          GroupLink* next = link->next;
          cancel(groupMember(link));
          link = next;
        }
        break;
      }
      case Op::work: cancelPoolWork(this, containerOf<Work>(c), c); break;
      case Op::net_send_file: netSendFileCancel(this, c); break;
      default:
        if (Work* work = backends::delegatedWorkOf(c); work != nullptr) {
          cancelPoolWork(this, work, c);
        } else {
          backend.cancel(c);
        }
        break;
    }
  }
  std::uint8_t prev = c->cancelFetchAnd(static_cast<std::uint8_t>(~CancelState::in_progress));
  if ((prev & CancelState::finished) != 0) state.dispatchCompletion(c);
}

bool Loop::cancelSync(Completion* c) noexcept {
  VORN_ASSERT(onOwnerThread());
  if (c->loop != this || (c->flags & (Flags::deferred | Flags::rearm)) != Flags::deferred) {
    cancel(c);
    return false;
  }
  // A cancellation in progress (from another thread) dispatches c itself.
  if ((c->cancel_state.load(std::memory_order_acquire) & CancelState::in_progress) != 0) return false;
  bool ring_op = c->isState(State::running) && c->op != Op::timer && c->op != Op::async && c->op != Op::group &&
                 c->op != Op::work && c->op != Op::net_send_file && backends::delegatedWorkOf(c) == nullptr;
  if (ring_op) {
    // Without in_progress: the completion is queued on `completions` as
    // usual, and taken back from there below.
    c->cancelFetchOr(CancelState::requested);
    if (!backend.cancelSync(state, c)) {
      backend.cancel(c);
      return false;
    }
  } else if (!c->isState(State::completed)) {
    // Parked for the owner but not called yet: handed back as it is.
    if (c->isState(State::dead) && (c->prev != nullptr || c->next != nullptr || state.dispatched.head == c)) {
      state.dispatched.remove(c);
      return true;
    }
    cancel(c);
    return false;
  }
  state.completions.remove(c);
  c->state = State::dead;
  --state.active;
  return true;
}

void LoopState::addResend(Work* work, Completion* key) noexcept {
  if (work->resend_key != nullptr) return;
  work->resend_key = key;
  work->resend_next = cancel_resend;
  cancel_resend = work;
}

void LoopState::sweepResend() noexcept {
  Work** link = &cancel_resend;
  while (Work* w = *link) {
    Token* token = w->cancel_token;
    pthread_t handle = token != nullptr ? token->handle.load(std::memory_order_acquire) : pthread_t{};
    if (token != nullptr && token->state.load(std::memory_order_acquire) == Token::State::blocked_canceling &&
        handle != pthread_t{} && loop->thread_pool != nullptr) {
      // Through the pool: it signals only a thread that is still alive.
      loop->thread_pool->interrupt(token);
      link = &w->resend_next;
    } else {
      *link = w->resend_next;
      w->resend_next = nullptr;
      w->resend_key = nullptr;
    }
  }
}

void LoopState::removeResendByCompletion(Completion* c) noexcept {
  for (Work** link = &cancel_resend; *link != nullptr; link = &(*link)->resend_next) {
    Work* w = *link;
    if (w->resend_key == c) {
      *link = w->resend_next;
      w->resend_next = nullptr;
      w->resend_key = nullptr;
      return;
    }
  }
}

}  // namespace vorn::ev
