// The native state behind one _ombrel.Loop object.
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
#include "module/kept_input.hpp"

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
  // What operations reaped as cancelled got and nobody took yet: exit
  // statuses per pid here; bytes and connections per descriptor in the
  // process-wide table it consults, where they outlive this runtime.
  KeptStore kept;

  void liveOpLink(LiveOp* op, PyObject** fut_slot) noexcept;
  void liveOpUnlink(LiveOp* op) noexcept;

  // Appends a strong reference (stolen) to the ready queue; false when the
  // array cannot grow (the reference is then still the caller's).
  bool readyAppend(PyObject* handle) noexcept;
};

}  // namespace ombrel
