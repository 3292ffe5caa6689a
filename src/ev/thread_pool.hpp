// The pool of worker threads for blocking jobs (Work records).
//
// Life cycle: init (no thread started) -> running (workers start on demand and
// leave after idle_timeout_ns without work) -> stop (shutdown set, queued jobs
// dropped, every worker joined) -> deinit.
//
// Threads: submit, cancel, interrupt and stop run on the loop thread (never
// on a worker: stop joins them); workers run the worker loop; completion_fn
// runs on the worker (or on the cancelling thread) with no pool lock held.
// Locks: queue_mutex guards queue, queue_size, reserved_pending, shutdown;
// workers_mutex guards workers, next_worker_id and thread creation, and a
// worker cannot end while another thread holds it. Lock order: the two are
// never held together (spawnThread takes workers_mutex only, after
// queue_mutex has been released).
//
// Thread ownership: stop takes entries out of `workers` and joins their
// threads; a worker that sees shutdown leaves its entry for stop. A worker
// that leaves on idle time-out removes its own entry and detaches itself,
// unless stop has already taken it. Whoever removes the entry decides, under
// workers_mutex, so a thread is never both detached and joined.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "ev/allocator.hpp"
#include "ev/condition_futex.hpp"
#include "ev/mutex_futex.hpp"
#include "ev/queue.hpp"
#include "ev/work.hpp"
#include "os/error.hpp"

namespace vorn::ev {

struct ThreadPoolOptions {
  std::size_t min_threads;        // workers that never leave on idle time-out
  std::size_t max_threads;        // limit for ordinary growth; 0 runs jobs inline in submit
  std::uint64_t idle_timeout_ns;  // 0 = leave as soon as the queue is empty
  std::size_t scale_threshold;    // queued jobs per running worker before growing
};

struct ThreadPool {
  struct Worker {
    std::uint64_t worker_id;
    pthread_t thread;
  };

  Allocator allocator;
  // Growable array of live workers (reserved for max_threads entries at init).
  Worker* workers;
  std::size_t workers_len;
  std::size_t workers_cap;
  std::uint64_t next_worker_id;
  // Queued Work records, linked through their headers, oldest first. Workers
  // take the oldest reserved record before any ordinary one.
  Queue queue;
  std::size_t queue_size;
  std::size_t min_threads;
  std::size_t max_threads;
  std::uint64_t idle_timeout_ns;
  std::size_t scale_threshold;
  // Read without a lock by the growth check; a stale value only starts one
  // worker too many or too few, which the next submit corrects.
  // running_threads counts workers started and not leaving: a worker that
  // times out stops counting while it still holds queue_mutex, so a job
  // queued after that decision is never left to it.
  std::atomic<std::size_t> running_threads;
  std::atomic<std::size_t> idle_threads;
  std::size_t reserved_pending;  // guarded by queue_mutex
  std::atomic<std::size_t> reserved_running;
  MutexFutex workers_mutex;
  MutexFutex queue_mutex;
  ConditionFutex queue_not_empty;
  bool shutdown;
  // The process-wide interrupt signal handler is held for this pool: taken
  // by the first submit (a loop that never delegates work, most short-lived
  // ones, costs no signal set-up), released by deinit. Loop thread.
  bool handler_installed;

  // Sets the pool up in place (it must not move afterwards). Starts no
  // thread. Error: OutOfMemory (the worker list for max_threads entries).
  // Loop thread.
  Error init(Allocator alloc, const ThreadPoolOptions& options) noexcept;
  // Queues a job; may start a worker. Installs the interrupt signal handler
  // first, once. Loop thread.
  void submit(Work* work) noexcept;
  // Tries to cancel a queued or running job. Loop thread.
  void cancel(Work* work) noexcept;
  // Sends the interrupt signal again to the worker of a job whose token is
  // blocked_canceling (the loop's resend step); nothing otherwise. Loop thread.
  void interrupt(os::syscall_cancel::Token* token) noexcept;
  // Refuses new work, drops queued jobs (they never complete), wakes every
  // worker and waits until each has finished its running job and ended.
  // Idempotent. Loop thread.
  void stop() noexcept;
  // stop, then frees the worker list and releases the signal handler. Loop thread.
  void deinit() noexcept;
};

// The module's sizing: min 0, max 2 x the CPUs in the calling thread's
// affinity mask, 60 s idle, scale threshold 2. Error when the CPU count
// cannot be read.
Error threadPoolDefaultOptions(ThreadPoolOptions* out) noexcept;

}  // namespace vorn::ev
