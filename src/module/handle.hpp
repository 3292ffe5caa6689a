// _ombrel.Handle: one scheduled callback, recycled through a process-wide
// free list of 512 parked objects (reference count 0, untracked, all object
// fields null, no weak references, no debug information, still holding the
// type's reference).
//
// Weak references live in the interpreter's managed slot in front of the
// object, so the layout below is the whole object. What debug mode keeps of
// a handle (where it was scheduled, its description once cancelled) lives in
// a table beside it, looked at only when `debug_info` is set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace ombrel {

struct TimerOp;
struct Runtime;

struct HandleObject {
  PyObject_HEAD
  PyObject* callback;  // null after cancel or clear
  PyObject* args;      // tuple; null after cancel or clear
  PyObject* context;   // entered while calling; null after cancel or clear
  PyObject* loop;      // receives the callback's exceptions; survives cancel
  double when_val;     // scheduled loop time in seconds; 0.0 for call_soon
  bool cancelled;
  bool is_timer;      // made by call_later or call_at: described as a TimerHandle
  bool debug_info;    // has an entry in the debug table (handle.cpp)
  TimerOp* timer_op;  // armed native timer of a timer handle, else null
};
static_assert(sizeof(HandleObject) == 72);

PyTypeObject* handleTypeCreate(PyObject* module) noexcept;

// A new handle (not a timer handle). Steals `context` (also on failure); new
// references to the others (callback and loop may be null).
PyObject* newHandle(PyObject* callback, PyObject* args, PyObject* loop, PyObject* context, double when_val) noexcept;

// Stores where a debug-mode handle was scheduled; -1 with an exception.
int handleSetSourceTraceback(PyObject* handle, PyObject* traceback) noexcept;

// Runs the callback; 0, or -1 with the exception set when it must propagate
// (SystemExit, KeyboardInterrupt, a context that cannot be entered).
int runHandle(HandleObject* h) noexcept;

// The context for a new handle: the keyword argument "context" when given
// and not None, else a copy of the current one. `kwvalues` are the values of
// the vectorcall keyword names `kwnames` (both null without keywords); other
// keywords are ignored. New reference, or NULL with an exception.
PyObject* handleContext(PyObject* const* kwvalues, PyObject* kwnames) noexcept;

// A new tuple of n borrowed items, or NULL with an exception.
PyObject* tupleFromArray(PyObject* const* items, Py_ssize_t n) noexcept;

// TypeError "coroutines cannot be used with <name>()" when `callback` is
// exactly a native coroutine; returns -1 then, else 0.
int rejectCoroutine(PyObject* callback, const char* name) noexcept;

// One pass over the ready queue: the handles queued when it starts, in
// order; false when a callback's exception must propagate (it is set, and
// the rest of the pass stays queued).
bool drainReady(Runtime* rt) noexcept;

// Loop methods (vectorcall convention: asyncio passes context= on every
// task step, and a keyword dictionary per call would cost more than the call).
PyObject* loopCallSoon(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* loopCallSoonThreadsafe(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

}  // namespace ombrel
