// The loop core: init, add and its routing, the tick, dispatch.
#include "ev/loop.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "ev/async.hpp"
#include "ev/backends/common.hpp"
#include "ev/group.hpp"
#include "ev/ops.hpp"
#include "ev/send_file.hpp"
#include "ev/thread_pool.hpp"
#include "os/assert.hpp"
#include "os/log.hpp"

namespace vorn::ev {

namespace {

enum class Route : std::uint8_t { native, delegated, unsupported };

// Which kinds the ring performs itself and which go to the thread pool, as
// the backend's capabilities say (file_set_size: as its kernel says).
Route routeOf(const backends::IoUring& backend, Op op) noexcept {
  if (op == Op::mach_port) return Route::unsupported;
  const BackendCapabilities& caps = backends::ioUringCapabilitiesOf(backend.fileSetSizeSupported());
  return backendPerforms(caps, op) ? Route::native : Route::delegated;
}

// A streaming file operation on a descriptor that cannot seek (pipe, socket,
// terminal) is switched to non-blocking mode once, so the ring can poll it
// instead of parking a kernel worker in a blocking read.
bool probePollable(int fd) noexcept {
  off_t r;
  do {
    r = ::lseek(fd, 0, SEEK_CUR);
  } while (r < 0 && errno == EINTR);
  if (r >= 0 || errno != ESPIPE) return false;
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return false;
  return ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

}  // namespace

// Before the first poll binds the ring, any one thread at a time may drive
// the loop (the caller serialises, as the interpreter lock does). A parked
// ring that a closed loop enabled counts as unbound until this loop submits:
// moveToThisThread can still take its entries to a fresh ring.
bool Loop::onOwnerThread() const noexcept { return !backend.submitted || os::currentThreadId() == owner_tid; }

bool Loop::moveToThisThread() noexcept {
  if (!backend.enabled || os::currentThreadId() == owner_tid) return true;
  if (!backend.rebind(state.inflight_io)) return false;
  owner_tid = os::currentThreadId();
  return true;
}

Error Loop::init(const Options& options) noexcept {
  state.loop = this;
  state.active = 0;
  state.inflight_io = 0;
  state.tick = 0;
  for (int i = 0; i < clock_slots; ++i) {
    state.now[i] = 0;
    state.now_tick[i] = 0;
    state.timers[i].root.store(nullptr, std::memory_order_relaxed);
  }
  state.cancel_resend = nullptr;
  state.async_handles = Queue{};
  state.completions = Queue{};
  state.dispatched = Queue{};
  // Nothing is shared with another thread before init returns.
  state.work_completions.head.store(nullptr, std::memory_order_relaxed);
  state.wake_requested.store(0, std::memory_order_relaxed);
  state.timer_mutex.state.store(0, std::memory_order_relaxed);
  state.initialized = false;
  state.running = false;
  state.stopped = false;

  allocator = options.allocator;
  thread_pool = options.thread_pool;
  do_not_call_callbacks = options.do_not_call_callbacks;
  reuse_ring = options.reuse_ring;
  internal_loop_group.shared.refcount.store(0, std::memory_order_relaxed);
  internal_loop_group.shared.master_fd.store(-1, std::memory_order_relaxed);
  internal_loop_group.shared.ftruncate_support.store(0, std::memory_order_relaxed);
  loop_group = options.loop_group != nullptr ? options.loop_group : &internal_loop_group;
  max_wait = default_max_wait_ns;
  wall_clock_cap = 10'000'000'000;
  cancel_queue.store(nullptr, std::memory_order_relaxed);
  owner_tid = os::currentThreadId();
  last_wait = std::nullopt;

  state.updateNow();
  if (Error e = backend.init(this, options.queue_size, reuse_ring); e != Error::none) return e;
  state.initialized = true;
  return Error::none;
}

void Loop::deinit() noexcept {
  VORN_ASSERT(onOwnerThread());
  // A record still in the kernel could complete into the next loop's ring.
  backend.deinit(reuse_ring && state.inflight_io == 0);
  state.initialized = false;
}

void Loop::add(Completion* c) noexcept {
  VORN_ASSERT(onOwnerThread());
  if (c->isState(State::dead)) c->reset();
  VORN_ASSERT(c->isState(State::new_));
  c->loop = this;

  // Cancelled before it was ever added: complete it without starting it.
  // acquire: the request may come from another thread.
  if ((c->cancel_state.load(std::memory_order_acquire) & CancelState::requested) != 0) {
    c->setError(Error::Canceled);
    ++state.active;
    c->state = State::running;
    state.markCompleted(c);
    return;
  }

  switch (c->op) {
    case Op::group: {
      if ((c->cancel_state.load(std::memory_order_acquire) & CancelState::requested) != 0) {
        log::fatal("cannot cancel a group before adding it to the loop");
      }
      auto* g = containerOf<Group>(c);
      c->state = State::running;
      ++state.active;
      if (g->remaining.load(std::memory_order_acquire) == 0) {
        c->has_result = true;
        state.markCompleted(c);
        return;
      }
      for (GroupLink* link = g->head; link != nullptr;) {
        GroupLink* next = link->next;  // the member's callback may reuse its link
        add(groupMember(link));
        link = next;
      }
      return;
    }
    case Op::timer: {
      MutexLock lock(state.timer_mutex);
      state.setTimer(containerOf<Timer>(c));
      return;
    }
    case Op::async: {
      auto* a = containerOf<Async>(c);
      c->state = State::running;
      ++state.active;
      // acq_rel: the notifier's writes before setting `pending` become visible.
      if (a->pending.exchange(0, std::memory_order_acq_rel) != 0) {
        c->has_result = true;
        state.markCompleted(c);
      } else {
        state.async_handles.push(c);
      }
      return;
    }
    case Op::work: {
      auto* w = containerOf<Work>(c);
      w->completion_fn = loopWorkComplete;
      w->completion_context = this;
      c->state = State::running;
      ++state.active;
      if (thread_pool != nullptr) {
        thread_pool->submit(w);
      } else {
        w->state.store(Work::State::completed, std::memory_order_relaxed);  // never shared
        c->setError(Error::NoThreadPool);
        state.markCompleted(c);
      }
      return;
    }
    case Op::net_send_file:
      c->state = State::running;
      ++state.active;
      netSendFileStart(this, c);
      return;
    case Op::file_read_streaming: {
      auto* r = containerOf<FileReadStreaming>(c);
      if (!r->pollable.has_value()) r->pollable = probePollable(r->handle);
      break;
    }
    case Op::file_write_streaming: {
      auto* r = containerOf<FileWriteStreaming>(c);
      if (!r->pollable.has_value()) r->pollable = probePollable(r->handle);
      break;
    }
    default: break;
  }

  switch (routeOf(backend, c->op)) {
    case Route::native:
      ++state.inflight_io;
      backend.submit(state, c);
      return;
    case Route::delegated: backends::submitFileOpToThreadPool(this, c); return;
    case Route::unsupported:
      // A kind with no meaning on this platform: fail it rather than hand
      // the ring an entry it cannot interpret.
      c->state = State::running;
      ++state.active;
      c->setError(Error::OperationNotSupported);
      state.markCompleted(c);
      return;
  }
}

void LoopState::markCompleted(Completion* c) noexcept {
  std::uint8_t prev = c->cancelFetchOr(CancelState::finished);
  c->state = State::completed;
  // A cancellation in progress dispatches the record itself, exactly once.
  if ((prev & CancelState::in_progress) != 0) return;
  dispatchCompletion(c);
}

void LoopState::dispatchCompletion(Completion* c) noexcept {
  if ((c->flags & (Flags::deferred | Flags::rearm)) != 0) {
    completions.push(c);
  } else {
    finishCompletion(c);
  }
}

void LoopState::finishCompletion(Completion* c) noexcept {
  c->state = State::dead;
  --active;
  // Both read before any callback runs: the callback may free or reuse c.
  std::uint8_t flags = c->flags;
  Callback owner_callback = c->group.owner_callback;
  if ((flags & Flags::rearm) == 0 && loop->do_not_call_callbacks && owner_callback == nullptr) {
    dispatched.push(c);
    return;
  }
  c->call(loop);
  if ((flags & Flags::rearm) != 0 && (c->flags & Flags::rearm) != 0) loop->add(c);
  if (owner_callback != nullptr) owner_callback(loop, c);
}

void markCompletedFromBackend(LoopState& state, Completion* c) noexcept {
  --state.inflight_io;
  state.markCompleted(c);
}

void LoopState::processAsyncHandles() noexcept {
  for (Completion* c = async_handles.head; c != nullptr;) {
    Completion* next = c->next;
    auto* a = containerOf<Async>(c);
    if (a->pending.exchange(0, std::memory_order_acq_rel) != 0) {
      c->has_result = true;
      async_handles.remove(c);
      markCompleted(c);
    }
    c = next;
  }
}

void LoopState::processCompletions() noexcept {
  SimpleStack handed_back{work_completions.popAll()};
  while (Completion* c = handed_back.pop()) {
    removeResendByCompletion(c);
    markCompleted(c);
  }
  // Records queued while these run (callbacks, re-adds) wait for the next pass.
  Queue batch = completions.detach();
  while (Completion* c = batch.pop()) finishCompletion(c);
}

bool Loop::done() const noexcept { return state.stopped || (state.active == 0 && state.completions.empty()); }

void Loop::requestWake(std::uint32_t bits) noexcept {
  // acq_rel: the request's payload (a pushed record) is published before the
  // bit, and the loop's exchange sees both.
  if (state.wake_requested.fetch_or(bits, std::memory_order_acq_rel) == 0) backend.wake();
}

void Loop::wake() noexcept { requestWake(Wake::wake_loop); }

Error Loop::tick(bool wait) noexcept {
  // Until the ring is enabled by a first poll, the loop may still move to
  // the thread that runs it; so may one given a parked ring, until it
  // submits (a fresh ring takes its entries along).
  if (!backend.enabled) {
    owner_tid = os::currentThreadId();
  } else if (!backend.submitted && os::currentThreadId() != owner_tid) {
    moveToThisThread();
  }
  last_wait = std::nullopt;
  if (done()) return Error::none;

  TimerCheckResult timers = checkTimers();
  state.sweepResend();

  std::uint32_t wake_bits;
  bool recheck = false;
  if (wait) {
    std::uint64_t timeout;
    if (!state.completions.empty() || !state.work_completions.empty() || timers.fired) {
      timeout = 0;
    } else {
      timeout = max_wait;
      if (timers.next_timeout && *timers.next_timeout < timeout) timeout = *timers.next_timeout;
    }
    if (state.cancel_resend != nullptr && timeout > resend_interval_ns) timeout = resend_interval_ns;
    // Re-opens the door for wakers before blocking: a request made from here
    // on writes the eventfd again and ends the wait.
    wake_bits = state.wake_requested.exchange(0, std::memory_order_acq_rel);
    if (wake_bits != 0) timeout = 0;
    last_wait = timeout;
    auto r = backend.poll(state, timeout);
    if (!r) return r.error();
    recheck = *r;
  } else {
    std::size_t inflight = state.inflight_io;
    wake_bits = state.wake_requested.exchange(0, std::memory_order_acq_rel);
    if (inflight != 0) {
      last_wait = 0;
      auto r = backend.poll(state, 0);
      if (!r) return r.error();
      recheck = *r;
    }
  }

  if ((wake_bits & Wake::wake_async) != 0) state.processAsyncHandles();
  if ((wake_bits & Wake::wake_cancel) != 0) processCancelQueue();
  state.processCompletions();
  // Timers that fired here are dispatched in the next pass, which then does
  // not block because `completions` is not empty.
  if (recheck) checkTimers();
  return Error::none;
}

void loopWorkComplete(void* context, Work* work) noexcept {
  auto* loop = static_cast<Loop*>(context);
  loop->state.work_completions.push(&work->c);
  loop->wake();
}

void loopLinkedWorkComplete(void* context, Work* work) noexcept {
  auto* ctx = static_cast<LinkedWorkContext*>(context);
  Completion* linked = ctx->linked;
  // A job the pool cancelled before it ran carries the error on its own header.
  if (work->c.err != Error::none && !linked->has_result) linked->setError(work->c.err);
  Loop* loop = ctx->loop;  // ctx lives in the record: read it before the push
  loop->state.work_completions.push(linked);
  loop->wake();
}

}  // namespace vorn::ev
