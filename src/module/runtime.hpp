// The native state behind one _ombrel.Loop object, the object that owns it,
// and the accessors every operation file uses to reach it: this header is
// all an operation depends on of the loop.
//
// Allocated with the C allocator when the Loop is initialised; its address
// never changes while it lives (the ev loop and every added record point into
// it). Owned by the Loop object until close or deallocation.
// Thread rules: everything here is touched only with the interpreter lock
// held, on the loop's thread; the ev loop runs without the lock only inside a
// waiting tick, and then touches none of the Python-side fields.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <unordered_map>

#include "ev/loop.hpp"
#include "ev/thread_pool.hpp"
#include "ev/timer.hpp"
#include "module/child_statuses.hpp"
#include "module/kept_input.hpp"
#include "module/send_order.hpp"

namespace ombrel {

struct TransportState;
struct TimerOp;
struct PollOp;

// Link of every operation record whose future is in flight (the records of
// socket, file and child-wait operations end with one). Close walks the list:
// it cuts each future loose (so that a later cancel() cannot reach the freed
// loop), cancels the operation and lets it finish without delivering.
struct LiveOp {
  LiveOp* prev;
  LiveOp* next;
  PyObject** fut_slot;  // the record's `fut`; null there once orphaned by close
};

struct Runtime {
  vorn::ev::Loop loop;  // first: a pointer to the Loop is a pointer to the Runtime
  vorn::ev::ThreadPool thread_pool;
  // The ready queue: strong references to handles, in order of scheduling.
  // Entries before ready_head were taken by a pass (their references dropped).
  PyObject** ready;
  std::size_t ready_len;
  std::size_t ready_cap;
  std::size_t ready_head;
  TransportState* flush_head;       // transports with queued output (each holds its object)
  TransportState* live_transports;  // every open transport
  // When transportReleaseIdleBuffers next walks live_transports (monotonic ns).
  std::uint64_t next_buffer_walk;
  // The loop object while it is in debug mode (borrowed: it owns this
  // runtime), else null; the scheduling methods and the ready pass check it.
  PyObject* debug_loop;
  bool running;
  bool stopping;
  bool closing;
  // A timer that never fires, armed while the runtime is open, so that a
  // waiting tick with nothing else in flight blocks until a wake-up, a timer
  // or a completion instead of returning at once.
  vorn::ev::Timer idle_keeper;
  // Every TimerOp not yet fired or cancelled, so that close can disarm and
  // free them: nothing may reach the runtime after it is gone.
  TimerOp* live_timers;
  // Timers scheduled from another thread while this loop may be ticking
  // without the interpreter lock: the loop thread arms them (newest first
  // here; armed in scheduling order).
  TimerOp* pending_arms;
  // Registered descriptor pollers by pollKey(fd, is_write).
  std::unordered_map<std::uint64_t, PollOp*> pollers;
  // Every operation record whose future is in flight.
  LiveOp* live_ops;

  // PollOps marked removed whose cancelled poll has not completed yet.
  std::size_t polls_removed_pending;
  // What receives and accepts reaped as cancelled got and nobody took yet:
  // bytes and connections per descriptor, in the process-wide table this
  // store consults, where they outlive this runtime.
  KeptStore kept;
  // Exit statuses reaped by cancelled child waits, per pid.
  ChildStatuses child_statuses;
  // Each descriptor's sendall records in call order.
  SendOrder send_order;

  void liveOpLink(LiveOp* op, PyObject** fut_slot) noexcept;
  void liveOpUnlink(LiveOp* op) noexcept;

  // Appends a strong reference (stolen) to the ready queue; false when the
  // array cannot grow (the reference is then still the caller's).
  bool readyAppend(PyObject* handle) noexcept;
};

// The instance layout of _ombrel.Loop. A null `rt` means closed (or never
// initialised). `debug` and `task_factory` are the package's `_debug` and
// `_task_factory` (strong or null: False and None), kept here rather than in
// the instance dict because asyncio's C tasks ask get_debug() for every task
// and create_task reads the factory each call. They outlive the runtime.
// Loop thread (or any thread holding the interpreter lock).
struct LoopObject {
  PyObject_HEAD
  Runtime* rt;
  PyObject* debug;
  PyObject* task_factory;
};

// RuntimeError "Event loop is closed"; returns NULL.
PyObject* closedError() noexcept;

// The runtime of a Loop object, null when closed. Python code run since the
// last read (a callback, a conversion, a finaliser) may have closed the
// loop: read it again after any.
inline Runtime* runtimeOf(PyObject* self) noexcept { return reinterpret_cast<LoopObject*>(self)->rt; }

// The runtime for starting an operation, a transport or a poller: null when
// the loop is closed or closing (callbacks run by close's drain may still
// schedule callbacks, but nothing that would outlive the runtime).
inline Runtime* openRuntime(PyObject* self) noexcept {
  Runtime* rt = runtimeOf(self);
  return rt != nullptr && !rt->closing ? rt : nullptr;
}

// A new open runtime (ring, pool, idle keeper armed), or null with the
// exception set; an io_uring that cannot be set up has the OSError saying
// why chained as the cause.
Runtime* runtimeCreate() noexcept;

// Calls the callbacks of every record the tick parked, including records
// parked while doing so. Loop thread, interpreter lock held.
void dispatchCompletions(Runtime* rt) noexcept;

// Tears the runtime down (close and deallocation); `self->rt` is null after.
void closeRuntime(LoopObject* self) noexcept;

}  // namespace ombrel
