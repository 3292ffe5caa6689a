// Timer handles: call_later / call_at, backed by one native timer each.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "ev/timer.hpp"

namespace ombrel {

struct Runtime;

// One armed timer of a handle. Allocated with PyMem_Malloc (every caller
// holds the interpreter lock: call_later/call_at, and the loop thread while
// it dispatches or closes); freed by timerFired, by cancelling the handle
// while armed, or by close. Not `deferred`: a fired record goes straight to
// the dispatched queue.
// Links: handle->timer_op points here while the timer is armed or completed
// but not yet dispatched; `handle` points back and is a strong reference
// owned by the record until it moves into the ready queue or is dropped.
struct TimerOp {
  vorn::ev::Timer timer;  // first; its completion's userdata is this record
  PyObject* handle;
  Runtime* rt;
  // The runtime's list of live records (close frees them all).
  TimerOp* live_prev;
  TimerOp* live_next;
  // Link of Runtime::pending_arms: armed by the loop thread at its next
  // iteration because the caller was another thread.
  TimerOp* arm_next;
};

// Arms the timers other threads scheduled (run_forever, loop thread).
void timerOpsArmPending(Runtime* rt) noexcept;

// seconds -> nanoseconds: <= 0 gives 0, >= 2^64 saturates, else truncates.
// NaN never reaches it (the callers reject it).
std::uint64_t secondsToNanos(double seconds) noexcept;

PyObject* loopCallLater(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* loopCallAt(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* loopTimerHandleCancelled(PyObject* self, PyObject* handle) noexcept;

// The timer branch of Handle.cancel: disarms and frees an armed record; a
// completed one is left for timerFired.
void timerOpCancel(TimerOp* op) noexcept;

// Disarms and frees every live record of a runtime that is closing; no
// callback runs.
void timerOpsRelease(Runtime* rt) noexcept;

}  // namespace ombrel
