// The ev loop: a single-threaded, completion-based event loop.
//
// Every operation is a caller-owned record with a Completion header; add
// routes it by kind (timers to a per-clock heap, async handles to a list, work
// and the delegated file kinds to the thread pool, sendfile to the loop's own
// pipeline, everything else to the io_uring backend) and the record later gets
// exactly one callback. One tick fires due timers, waits in the backend,
// collects what other threads handed back and dispatches every finished record
// in a fixed order. With do_not_call_callbacks (the Python module's setting),
// finished records are parked on `dispatched` and the owner calls them after
// the tick, through nextDispatched.
//
// Thread rules: one owning thread runs init, add, tick, setTimer, clearTimer,
// deinit, nextDispatched and every callback; LoopState is touched only there,
// except the atomics named below. Any thread may call wake, cancel and the
// hand-back entries loopWorkComplete / loopLinkedWorkComplete.
// The Loop must not move after init: the state and every added record point
// into it.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "ev/allocator.hpp"
#include "ev/backends/io_uring.hpp"
#include "ev/completion.hpp"
#include "ev/heap.hpp"
#include "ev/mutex_futex.hpp"
#include "ev/queue.hpp"
#include "ev/timer.hpp"
#include "ev/work.hpp"
#include "os/error.hpp"
#include "os/thread.hpp"

namespace vorn::ev {

struct ThreadPool;

// Loops of one group share the ring's kernel worker pool.
struct LoopGroup {
  backends::SharedState shared;
};

struct Options {
  Allocator allocator;
  ThreadPool* thread_pool;     // not owned; null: no work, delegated kinds fail
  LoopGroup* loop_group;       // null: the loop's private group
  std::uint16_t queue_size;    // ring entries (a power of two)
  bool do_not_call_callbacks;  // park finished records on `dispatched`
  // Take the ring a closed loop of the process left, and leave ours to the
  // next loop at deinit (IoUring::init and deinit): for owners that make
  // many short-lived loops.
  bool reuse_ring = false;
};

// Bits of LoopState::wake_requested.
struct Wake {
  enum : std::uint32_t {
    wake_loop = 1,    // plain wake-up
    wake_async = 2,   // async handles may have been notified
    wake_cancel = 4,  // the cancel stack holds records
  };
};

inline constexpr std::uint64_t resend_interval_ns = 1'000'000;

struct LoopState {
  Loop* loop;
  std::size_t active;       // records added and not yet dispatched
  std::size_t inflight_io;  // records in the backend whose result has not come back
  std::uint64_t tick;       // clock-cache generation, bumped by every refresh
  std::uint64_t now[clock_slots];
  std::uint64_t now_tick[clock_slots];
  Heap timers[clock_slots];      // guarded by timer_mutex
  Work* cancel_resend;           // work items whose interrupt must be repeated
  Queue async_handles;           // added Async records not yet notified
  Queue completions;             // finished records waiting for dispatch
  Queue dispatched;              // parked for the owner (do_not_call_callbacks)
  AtomicStack work_completions;  // pushed by pool workers, popped by the loop
  // Pending wake-up reasons: any thread ORs a bit in, the loop exchanges the
  // word with 0 before it waits. Only the OR that turns it from 0 to non-zero
  // writes the eventfd.
  std::atomic<std::uint32_t> wake_requested;
  MutexFutex timer_mutex;  // guards `timers` and the timers' heap links
  bool initialized;
  bool running;  // never set: the owner drives ticks itself
  bool stopped;  // when set, done() is true; never set: the owner decides when to stop

  // The single point where an operation becomes finished. Owning thread.
  void markCompleted(Completion* c) noexcept;
  // Queues a completed record for dispatch (or finishes it when not deferred).
  void dispatchCompletion(Completion* c) noexcept;
  // completed -> dead: parks, or calls the callback (and re-adds a rearm record).
  void finishCompletion(Completion* c) noexcept;
  void processAsyncHandles() noexcept;
  void processCompletions() noexcept;

  // Clock cache. updateNow refreshes the awake clock and starts a generation;
  // nowFor reads a wall clock at most once per generation. Owning thread, or
  // with timer_mutex held.
  void updateNow() noexcept;
  std::uint64_t nowFor(Clock clock) noexcept;
  // Heap-level timer arming and disarming; timer_mutex held.
  void setTimer(Timer* t) noexcept;
  void clearTimer(Timer* t) noexcept;

  // Resend list of blocked work items being cancelled. Owning thread.
  void addResend(Work* work, Completion* key) noexcept;
  void sweepResend() noexcept;
  void removeResendByCompletion(Completion* c) noexcept;
};

// Called by the backend for every record whose result it stored.
void markCompletedFromBackend(LoopState& state, Completion* c) noexcept;

inline constexpr std::uint64_t default_max_wait_ns = 60'000'000'000;

struct Loop {
  LoopState state;
  backends::IoUring backend;
  Allocator allocator;
  ThreadPool* thread_pool;
  LoopGroup* loop_group;
  LoopGroup internal_loop_group;
  // Upper bound of every wait: default_max_wait_ns unless the owner lowers it
  // (owning thread) to act on something it keeps track of itself.
  std::uint64_t max_wait;
  std::uint64_t wall_clock_cap;  // wall-clock fallback poll interval (10 s)
  // Cross-thread cancel stack, linked through cancel_next: any thread pushes
  // (compare-and-swap), the loop takes it whole (exchange with null).
  std::atomic<Completion*> cancel_queue;
  bool do_not_call_callbacks;
  bool reuse_ring;  // Options::reuse_ring
  // The owning thread: the one that ran init, until the first tick that
  // polls binds the ring (and the loop) to the ticking thread for good.
  pid_t owner_tid;
  // The wait the last tick passed to the backend; none when it did not poll.
  // Observability only (tests, statistics).
  std::optional<std::uint64_t> last_wait;

  // Sets the loop up in place; the error is the backend's. Owning thread.
  Error init(const Options& options) noexcept;
  // Shuts the backend down (with reuse_ring and nothing in the kernel, the
  // ring is left to the next loop). The thread pool is the owner's to stop
  // (before) and destroy (after).
  void deinit() noexcept;
  // Starts an operation; never fails: failures arrive in the callback.
  void add(Completion* c) noexcept;
  // Asks an operation to stop early. Any thread (on the record's own loop
  // only from its owning thread).
  void cancel(Completion* c) noexcept;
  // Cancels c and, for an operation the ring runs, waits until the kernel has
  // let go of it: its descriptor's file is no longer held, and it takes
  // nothing more (a connection, bytes) from it. True: c has finished and is
  // handed back instead of being dispatched (state dead, on no queue); its
  // one callback is the caller's to make now (c->call). False: c finishes
  // later, as after cancel. Owning thread, outside tick; c must be deferred
  // and not rearming.
  bool cancelSync(Completion* c) noexcept;
  // Arms or re-arms a timer (relative timeouts count from now). Owning thread.
  void setTimer(Timer* t, Timeout timeout) noexcept;
  // Disarms a timer without completing it. Owning thread.
  void clearTimer(Timer* t) noexcept;
  // One pass; `wait` false never blocks. Error: the backend's poll failed.
  Error tick(bool wait) noexcept;
  // Nothing active and nothing queued.
  bool done() const noexcept;
  // Makes a blocked or the next tick return from its wait. Any thread.
  void wake() noexcept;
  // Pops the oldest parked record, or null. Owning thread.
  Completion* nextDispatched() noexcept { return state.dispatched.pop(); }

  // Hands a loop that no thread is ticking to the calling thread (closing a
  // loop from another thread than the one that ran it). The ring keeps its
  // submitter: a tick from the new owner fails, but timers, cancellation
  // and deinit work.
  void adoptOwner() noexcept { owner_tid = os::currentThreadId(); }

  // Moves a loop whose ring is bound to another thread to the calling one
  // (see IoUring::rebind); true when the loop may now be ticked here. No
  // other thread may be ticking it.
  bool moveToThisThread() noexcept;

  // Internal steps of tick and cancel, exposed for the module and tests.
  TimerCheckResult checkTimers() noexcept;
  void processCancelQueue() noexcept;
  void cancelLocal(Completion* c) noexcept;
  // Sets `bits` in wake_requested; writes the eventfd when the set was empty.
  void requestWake(std::uint32_t bits) noexcept;
  bool onOwnerThread() const noexcept;
};

// Hand-back entries, called on pool workers (or a cancelling thread).
// loopWorkComplete: context is the Loop; pushes the work's own record.
void loopWorkComplete(void* context, Work* work) noexcept;
// loopLinkedWorkComplete: context is a LinkedWorkContext; pushes the linked
// operation record, taking the work's error when the record has no result.
void loopLinkedWorkComplete(void* context, Work* work) noexcept;

}  // namespace vorn::ev
