#include "ev/thread_pool.hpp"

#include <cstdint>
#include <ctime>

#include "os/assert.hpp"
#include "os/log.hpp"
#include "os/syscall_cancel.hpp"
#include "os/thread.hpp"

namespace vorn::ev {

namespace {

namespace sc = os::syscall_cancel;

constexpr std::size_t worker_stack_size = 16 * 1024 * 1024;
constexpr std::size_t worker_guard_size = 4096;
constexpr std::uint64_t default_idle_timeout_ns = 60'000'000'000;
constexpr std::uint64_t ns_per_s = 1'000'000'000;

// The argument of a worker thread; allocated by spawnThread, freed by the
// worker itself under workers_mutex (after that it touches nothing of the pool).
struct WorkerStart {
  ThreadPool* pool;
  std::uint64_t worker_id;
};

// Runs a job that has left the queue, on the calling thread (a worker, or
// the loop thread of an inline pool), or completes it as cancelled when
// cancel won the race for it. Does not call completion_fn.
void runJob(Work* work) noexcept {
  Work::State expected = Work::State::pending;
  // acq_rel: the CAS is the one decision between this thread and a
  // canceller; the winner goes on to use the record.
  if (!work->state.compare_exchange_strong(expected, Work::State::running, std::memory_order_acq_rel,
                                           std::memory_order_acquire)) {
    VORN_ASSERT(expected == Work::State::canceled);
    work->c.setError(Error::Canceled);
    return;
  }
  sc::Token* token = work->cancel_token;
  if (token != nullptr) {
    // release: a canceller that reads the handle (after seeing the token
    // blocked) must see our thread.
    token->handle.store(::pthread_self(), std::memory_order_release);
    sc::setCurrentToken(token);
  }
  work->func(work);
  if (token != nullptr) {
    sc::setCurrentToken(nullptr);
    token->handle.store(0, std::memory_order_release);  // release: pairs with the canceller's acquire
  }
  work->c.has_result = true;
  // release: cancel's failed CAS reads this; the job's outcome is handed
  // over by completion_fn, not through this state.
  work->state.store(Work::State::completed, std::memory_order_release);
}

void* workerMain(void* arg) noexcept;

// Starts one worker unless `forced` is false and the pool already has
// max_threads (+ running reserved jobs) workers counted. Takes workers_mutex
// only; the caller holds no pool lock.
Error spawnThread(ThreadPool* pool, bool forced) noexcept {
  MutexLock lock(pool->workers_mutex);
  // relaxed (both): changed under workers_mutex, except the early decrement of
  // a leaving worker, which this thread sees through queue_mutex.
  std::size_t running = pool->running_threads.load(std::memory_order_relaxed);
  if (!forced && running >= pool->reserved_running.load(std::memory_order_relaxed) + pool->max_threads) {
    return Error::none;
  }
  if (pool->workers_len == pool->workers_cap) {
    // Only reserved jobs push the list past its max_threads reservation.
    std::size_t cap = pool->workers_cap < 4 ? 4 : pool->workers_cap * 2;
    auto* grown = static_cast<ThreadPool::Worker*>(pool->allocator.allocate(cap * sizeof(ThreadPool::Worker)));
    if (grown == nullptr) return Error::OutOfMemory;
    for (std::size_t i = 0; i < pool->workers_len; ++i) grown[i] = pool->workers[i];
    pool->allocator.release(pool->workers, pool->workers_cap * sizeof(ThreadPool::Worker));
    pool->workers = grown;
    pool->workers_cap = cap;
  }
  auto* start = static_cast<WorkerStart*>(pool->allocator.allocate(sizeof(WorkerStart)));
  if (start == nullptr) return Error::OutOfMemory;
  std::uint64_t id = pool->next_worker_id++;
  *start = WorkerStart{pool, id};
  pool->running_threads.fetch_add(1, std::memory_order_relaxed);  // relaxed: see the load above
  // The new thread blocks on workers_mutex before it can look for its entry,
  // so the handle is stored before anyone reads it.
  pthread_t thread;
  Error err = os::spawnThread(&thread, workerMain, start, worker_stack_size, worker_guard_size);
  if (err != Error::none) {
    pool->running_threads.fetch_sub(1, std::memory_order_relaxed);
    pool->allocator.release(start, sizeof(WorkerStart));
    return err;
  }
  pool->workers[pool->workers_len++] = ThreadPool::Worker{id, thread};
  return Error::none;
}

// Starts a worker when the queue has grown past what the running workers
// absorb. `queued` is the queue length seen when the job was appended. The
// counters are read without a lock (see ThreadPool::running_threads).
void growIfNeeded(ThreadPool* pool, std::size_t queued) noexcept {
  // relaxed (all three): a stale value only misjudges by one worker.
  std::size_t running = pool->running_threads.load(std::memory_order_relaxed);
  bool start;
  if (running < pool->min_threads) {
    start = true;
  } else if (pool->idle_threads.load(std::memory_order_relaxed) > 0 || queued < running * pool->scale_threshold) {
    start = false;
  } else {
    start = running < pool->max_threads + pool->reserved_running.load(std::memory_order_relaxed);
  }
  if (!start) return;
  Error err = spawnThread(pool, false);
  if (err != Error::none) log::logError("Failed to spawn thread: ", err);
}

// The exit check of a worker with no job to run; takes workers_mutex only.
// Returns false when a timed-out worker stays to keep min_threads workers
// (it counts again). Otherwise the worker drops its entry (or leaves it to
// stop), frees its start argument and returns true: the thread ends.
// `shutting_down`: the worker saw shutdown and is still in running_threads;
// otherwise it timed out and stopped counting already.
bool workerLeave(ThreadPool* pool, WorkerStart* start, bool shutting_down) noexcept {
  pool->workers_mutex.lock();
  // relaxed (running_threads here): see spawnThread.
  if (shutting_down) {
    pool->running_threads.fetch_sub(1, std::memory_order_relaxed);
  } else if (pool->running_threads.load(std::memory_order_relaxed) < pool->min_threads) {
    pool->running_threads.fetch_add(1, std::memory_order_relaxed);
    pool->workers_mutex.unlock();
    return false;
  }
  for (std::size_t i = 0; i < pool->workers_len; ++i) {
    if (pool->workers[i].worker_id != start->worker_id) continue;
    if (!shutting_down) {
      // Nothing will join a worker that leaves a running pool: it takes its
      // entry out and releases its own thread resources.
      pool->workers[i] = pool->workers[pool->workers_len - 1];
      --pool->workers_len;
      ::pthread_detach(::pthread_self());
    }
    // Shutting down: the entry stays for stop, which joins the thread.
    break;
  }
  // Not found: stop has taken the entry and joins this thread.
  pool->allocator.release(start, sizeof(WorkerStart));
  // The last touch of the pool: after this unlock, stop may return and the
  // pool may be freed.
  pool->workers_mutex.unlock();
  return true;
}

// The next job for a worker (queue_mutex held): the oldest reserved one while
// any is queued, else the oldest. A thread started for a reserved job must
// not be taken by an ordinary job queued ahead of it, or the reserved job
// would wait behind others after all.
Completion* popNext(ThreadPool* pool) noexcept {
  if (pool->reserved_pending > 0) {
    for (Completion* c = pool->queue.head; c != nullptr; c = c->next) {
      if (containerOf<Work>(c)->reserve_thread) {
        pool->queue.remove(c);
        return c;
      }
    }
    VORN_ASSERT(false);  // reserved_pending counts queued reserved jobs
  }
  return pool->queue.pop();
}

void* workerMain(void* arg) noexcept {
  auto* start = static_cast<WorkerStart*>(arg);
  ThreadPool* pool = start->pool;
  sc::acceptInterrupts();
  for (;;) {
    pool->queue_mutex.lock();
    bool shutting_down = false;
    for (;;) {
      if (pool->shutdown) {
        shutting_down = true;
        pool->queue_mutex.unlock();
        break;
      }
      Completion* c = popNext(pool);
      if (c != nullptr) {
        Work* work = containerOf<Work>(c);
        --pool->queue_size;
        bool reserved = work->reserve_thread;
        if (reserved) {
          --pool->reserved_pending;
          pool->reserved_running.fetch_add(1, std::memory_order_relaxed);  // relaxed: a growth-check hint
        }
        pool->queue_mutex.unlock();
        runJob(work);
        if (reserved) pool->reserved_running.fetch_sub(1, std::memory_order_relaxed);
        // completion_fn may hand the record away (or free it): no touching
        // `work` after the call.
        if (work->completion_fn != nullptr) work->completion_fn(work->completion_context, work);
        pool->queue_mutex.lock();
        continue;
      }

      // Queue empty. relaxed (idle and running): both change under
      // queue_mutex or workers_mutex; others only read them as hints.
      pool->idle_threads.fetch_add(1, std::memory_order_relaxed);
      bool timed_out;
      // Only surplus workers time out; the min_threads others wait without
      // limit (with idle_timeout_ns 0 they would otherwise spin).
      if (pool->running_threads.load(std::memory_order_relaxed) > pool->min_threads) {
        if (pool->idle_timeout_ns == 0) {
          timed_out = true;
        } else {
          timespec ts{static_cast<time_t>(pool->idle_timeout_ns / ns_per_s),
                      static_cast<long>(pool->idle_timeout_ns % ns_per_s)};
          timed_out = pool->queue_not_empty.wait(pool->queue_mutex, &ts);
        }
      } else {
        pool->queue_not_empty.wait(pool->queue_mutex, nullptr);
        timed_out = false;
      }
      pool->idle_threads.fetch_sub(1, std::memory_order_relaxed);
      // A job queued while the wait was timing out was counted on this idle
      // worker by submit: take it rather than leave it stranded.
      if (timed_out && pool->queue.empty() && !pool->shutdown) {
        // Stop counting while queue_mutex is held: every later submit sees
        // this worker gone and starts another one if needed.
        pool->running_threads.fetch_sub(1, std::memory_order_relaxed);
        pool->queue_mutex.unlock();
        break;
      }
    }

    // A timed-out worker gets here with no pool lock held and no longer in
    // running_threads, so a concurrent spawn is never refused on its behalf.
    if (workerLeave(pool, start, shutting_down)) return nullptr;
  }
}

}  // namespace

Error ThreadPool::init(Allocator alloc, const ThreadPoolOptions& options) noexcept {
  allocator = alloc;
  workers = nullptr;
  workers_len = 0;
  workers_cap = 0;
  if (options.max_threads > 0) {
    if (options.max_threads > SIZE_MAX / sizeof(Worker)) return Error::OutOfMemory;
    workers = static_cast<Worker*>(allocator.allocate(options.max_threads * sizeof(Worker)));
    if (workers == nullptr) return Error::OutOfMemory;
    workers_cap = options.max_threads;
  }
  next_worker_id = 0;
  queue = Queue{};
  queue_size = 0;
  min_threads = options.min_threads;
  max_threads = options.max_threads;
  idle_timeout_ns = options.idle_timeout_ns;
  scale_threshold = options.scale_threshold;
  // relaxed: no other thread knows the pool yet.
  running_threads.store(0, std::memory_order_relaxed);
  idle_threads.store(0, std::memory_order_relaxed);
  reserved_pending = 0;
  reserved_running.store(0, std::memory_order_relaxed);
  workers_mutex.state.store(0, std::memory_order_relaxed);
  queue_mutex.state.store(0, std::memory_order_relaxed);
  queue_not_empty.seq.store(0, std::memory_order_relaxed);
  shutdown = false;
  handler_installed = false;
  return Error::none;
}

void ThreadPool::submit(Work* work) noexcept {
  VORN_ASSERT(work->state.load(std::memory_order_relaxed) != Work::State::running);
  // Before any job can run (a cancel may interrupt it at once).
  if (!handler_installed) {
    os::syscall_cancel::installHandler();
    handler_installed = true;
  }
  if (max_threads == 0) {
    runJob(work);
    if (work->completion_fn != nullptr) work->completion_fn(work->completion_context, work);
    return;
  }

  queue_mutex.lock();
  if (shutdown) {
    queue_mutex.unlock();
    return;  // dropped: a stopped pool completes nothing
  }
  queue.push(&work->c);
  std::size_t queued = ++queue_size;
  if (!work->reserve_thread) {
    queue_not_empty.signal();
    queue_mutex.unlock();
    growIfNeeded(this, queued);
    return;
  }

  std::size_t pending_before = reserved_pending++;
  std::size_t idle = idle_threads.load(std::memory_order_relaxed);  // relaxed: under queue_mutex, where it changes
  queue_not_empty.signal();
  queue_mutex.unlock();
  if (idle > pending_before) {
    // An idle worker is left over for this job once the earlier reserved
    // jobs have taken theirs.
    growIfNeeded(this, queued);
    return;
  }
  Error err = spawnThread(this, true);
  if (err != Error::none) log::logError("Failed to spawn reserved thread: ", err);
}

void ThreadPool::cancel(Work* work) noexcept {
  if (work->cancel_token != nullptr) {
    // The job stays where it is and reports Canceled through its own
    // completion once its interruptible call refuses to start or returns.
    if (sc::requestCancel(work->cancel_token)) interrupt(work->cancel_token);
    return;
  }

  Work::State expected = Work::State::pending;
  // acq_rel: the one decision between this thread and the worker (see runJob).
  if (!work->state.compare_exchange_strong(expected, Work::State::canceled, std::memory_order_acq_rel,
                                           std::memory_order_acquire)) {
    return;  // already running or finished: it completes normally
  }
  queue_mutex.lock();
  // Membership by search, not by the record's links: once a worker has
  // popped it, completion_fn may reuse those links (the loop's hand-back
  // stack) concurrently with this check.
  bool queued = false;
  for (Completion* c = queue.head; c != nullptr; c = c->next) {
    if (c == &work->c) {
      queued = true;
      break;
    }
  }
  if (!queued) {
    // A worker has just popped it and completes it as cancelled (or stop
    // dropped it).
    queue_mutex.unlock();
    return;
  }
  queue.remove(&work->c);
  --queue_size;
  if (work->reserve_thread) --reserved_pending;
  queue_mutex.unlock();
  work->c.setError(Error::Canceled);
  if (work->completion_fn != nullptr) work->completion_fn(work->completion_context, work);
}

void ThreadPool::interrupt(os::syscall_cancel::Token* token) noexcept {
  // A handle read under workers_mutex belongs to a live thread: a worker
  // clears it before it can reach its exit, which takes this mutex.
  MutexLock lock(workers_mutex);
  sc::interrupt(token);
}

void ThreadPool::stop() noexcept {
  queue_mutex.lock();
  if (shutdown) {
    queue_mutex.unlock();
    return;
  }
  shutdown = true;
  while (queue.pop() != nullptr) {
  }
  queue_size = 0;
  reserved_pending = 0;
  queue_not_empty.broadcast();
  queue_mutex.unlock();

  for (;;) {
    workers_mutex.lock();
    if (workers_len == 0) {
      workers_mutex.unlock();
      break;
    }
    // Taking the entry out makes this thread the one that joins it.
    pthread_t thread = workers[--workers_len].thread;
    workers_mutex.unlock();
    ::pthread_join(thread, nullptr);
  }
}

void ThreadPool::deinit() noexcept {
  stop();
  allocator.release(workers, workers_cap * sizeof(Worker));
  workers = nullptr;
  workers_cap = 0;
  if (handler_installed) os::syscall_cancel::uninstallHandler();
  handler_installed = false;
}

Error threadPoolDefaultOptions(ThreadPoolOptions* out) noexcept {
  std::size_t cpus = 0;
  if (Error err = os::cpuCount(&cpus); err != Error::none) return err;
  *out = ThreadPoolOptions{
      .min_threads = 0,
      .max_threads = 2 * cpus,
      .idle_timeout_ns = default_idle_timeout_ns,
      .scale_threshold = 2,
  };
  return Error::none;
}

}  // namespace vorn::ev
