#include "module/timer_handle.hpp"

#include <cmath>
#include <cstring>
#include <new>

#include "module/debug_mode.hpp"
#include "module/globals.hpp"
#include "module/handle.hpp"
#include "module/runtime.hpp"
#include "os/time.hpp"

namespace ombrel {

using vorn::ev::Completion;
using vorn::ev::Loop;
using vorn::ev::State;
using vorn::ev::Timeout;

namespace {

void liveLink(Runtime* rt, TimerOp* op) noexcept {
  op->live_prev = nullptr;
  op->live_next = rt->live_timers;
  if (rt->live_timers != nullptr) rt->live_timers->live_prev = op;
  rt->live_timers = op;
}

void liveUnlink(Runtime* rt, TimerOp* op) noexcept {
  if (op->live_prev != nullptr) {
    op->live_prev->live_next = op->live_next;
  } else {
    rt->live_timers = op->live_next;
  }
  if (op->live_next != nullptr) op->live_next->live_prev = op->live_prev;
  op->live_prev = op->live_next = nullptr;
}

void freeTimerOp(TimerOp* op) noexcept {
  liveUnlink(op->rt, op);
  op->~TimerOp();
  PyMem_Free(op);
}

// Completion callback of every TimerOp; runs while run_forever (or close)
// dispatches, with the interpreter lock held.
void timerFired(Loop*, Completion* c) noexcept {
  auto* op = static_cast<TimerOp*>(c->userdata);
  PyObject* handle = op->handle;
  op->handle = nullptr;
  reinterpret_cast<HandleObject*>(handle)->timer_op = nullptr;
  if (c->err != vorn::Error::none || !op->rt->readyAppend(handle)) {
    Py_DECREF(handle);  // cancelled in the ev loop, or the queue cannot grow
  }
  freeTimerOp(op);
}

// `when` is the handle's loop time; NaN for call_later, whose time is the
// arming clock reading plus `delay`.
PyObject* armTimer(PyObject* loop_obj, Runtime* rt, double when, double delay, Timeout timeout, PyObject* callback,
                   PyObject* cbargs, PyObject* ctx) noexcept {
  PyObject* handle = newHandle(callback, cbargs, loop_obj, ctx, when);
  if (handle == nullptr) return nullptr;
  void* mem = PyMem_Malloc(sizeof(TimerOp));
  if (mem == nullptr) {
    Py_DECREF(handle);
    return PyErr_NoMemory();
  }
  auto* op = new (mem) TimerOp{};
  op->timer.init(timeout);
  // Not deferred: a fired timer goes straight to the dispatched queue from
  // the timer check (no callback runs inside a tick here), which saves one
  // walk over every fired record; with many timers that walk is a cache
  // miss per record.
  op->timer.c.flags = 0;
  op->handle = handle;  // the record keeps newHandle's reference
  op->rt = rt;
  op->timer.c.callback = timerFired;
  op->timer.c.userdata = op;
  auto* h = reinterpret_cast<HandleObject*>(handle);
  h->is_timer = true;
  h->timer_op = op;
  liveLink(rt, op);
  if (rt->loop.onOwnerThread()) {
    rt->loop.setTimer(&op->timer, timeout);
    // setTimer has just read the clock into the loop's cache: one reading
    // serves both the deadline and when().
    if (std::isnan(when)) h->when_val = static_cast<double>(rt->loop.state.now[0]) / 1e9 + delay;
  } else {
    // The loop's clock cache belongs to the loop thread.
    if (std::isnan(when)) h->when_val = static_cast<double>(vorn::os::clockNow(CLOCK_MONOTONIC)) / 1e9 + delay;
    // The loop thread may be inside a tick (timers, counters) without the
    // interpreter lock: hand the arming to it and wake it.
    op->arm_next = rt->pending_arms;
    rt->pending_arms = op;
    rt->loop.wake();
  }
  return Py_NewRef(handle);
}

struct TimerArgs {
  double value;
  PyObject* callback;
  PyObject* cbargs;
  PyObject* context;
};

// The argument handling shared by call_later and call_at.
bool parseTimerArgs(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* name, const char* usage,
                    TimerArgs* out) noexcept {
  if (nargs < 2) {
    PyErr_SetString(PyExc_TypeError, usage);
    return false;
  }
  out->value = PyFloat_AsDouble(args[0]);
  if (out->value == -1.0 && PyErr_Occurred()) {
    if (args[0] == Py_None) {  // asyncio's words for the likeliest mistake
      bool later = std::strcmp(name, "call_later") == 0;
      PyErr_SetString(PyExc_TypeError, later ? "delay must not be None" : "when cannot be None");
    }
    return false;
  }
  // NaN has no place on the clock, and converting it to an integer is
  // undefined: refuse it here.
  if (std::isnan(out->value)) {
    PyErr_Format(PyExc_ValueError, "%s(): the time must not be NaN", name);
    return false;
  }
  out->callback = args[1];
  if (rejectCoroutine(out->callback, name) < 0) return false;
  out->cbargs = tupleFromArray(args + 2, nargs - 2);
  if (out->cbargs == nullptr) return false;
  out->context = handleContext(args + nargs, kwnames);
  if (out->context == nullptr) {
    Py_DECREF(out->cbargs);
    return false;
  }
  return true;
}

using TimerMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;

// call_later or call_at of a loop in debug mode: the package's checks, then
// the scheduling, then the handle keeps where the call was made.
[[gnu::noinline]] PyObject* callTimerDebug(TimerMethod schedule, DebugMethod method, PyObject* self,
                                           PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  // Errors in asyncio's order: a closed loop, the usage, then the checks.
  if (runtimeOf(self) == nullptr || nargs < 2) return schedule(self, args, nargs, kwnames);
  PyObject* traceback = debugCheck(self, method, args[1]);
  if (traceback == nullptr) return nullptr;
  PyObject* h = schedule(self, args, nargs, kwnames);
  if (h != nullptr && traceback != Py_None && handleSetSourceTraceback(h, traceback) < 0) {
    PyObject* pending = PyErr_GetRaisedException();
    PyObject* r = PyObject_CallMethod(h, "cancel", nullptr);  // disarms it
    Py_XDECREF(r);
    PyErr_SetRaisedException(pending);
    Py_CLEAR(h);
  }
  Py_DECREF(traceback);
  return h;
}

// The runtime once the timer's arguments are parsed: their conversion
// (__float__) may have closed the loop, and only then is it read. Null with
// RuntimeError set and the parsed arguments dropped.
Runtime* runtimeAfterParse(PyObject* self, TimerArgs* a) noexcept {
  Runtime* rt = runtimeOf(self);
  if (rt == nullptr) {
    Py_DECREF(a->cbargs);
    Py_DECREF(a->context);
    closedError();
  }
  return rt;
}

// A closed loop is refused before the arguments are looked at, and the
// runtime is read after they are converted.
[[gnu::always_inline]] inline PyObject* callLater(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                                  PyObject* kwnames) noexcept {
  if (runtimeOf(self) == nullptr) return closedError();
  TimerArgs a;
  if (!parseTimerArgs(args, nargs, kwnames, "call_later", "call_later() requires (delay, callback, ...)", &a)) {
    return nullptr;
  }
  Runtime* rt = runtimeAfterParse(self, &a);
  if (rt == nullptr) return nullptr;
  double d = a.value > 0.0 ? a.value : 0.0;
  PyObject* h = armTimer(self, rt, std::nan(""), d, Timeout::after(secondsToNanos(d)), a.callback, a.cbargs, a.context);
  Py_DECREF(a.cbargs);
  return h;
}

[[gnu::always_inline]] inline PyObject* callAt(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                               PyObject* kwnames) noexcept {
  if (runtimeOf(self) == nullptr) return closedError();
  TimerArgs a;
  if (!parseTimerArgs(args, nargs, kwnames, "call_at", "call_at() requires (when, callback, ...)", &a)) return nullptr;
  Runtime* rt = runtimeAfterParse(self, &a);
  if (rt == nullptr) return nullptr;
  PyObject* h = armTimer(self, rt, a.value, 0.0, Timeout::at(secondsToNanos(a.value)), a.callback, a.cbargs, a.context);
  Py_DECREF(a.cbargs);
  return h;
}

}  // namespace

std::uint64_t secondsToNanos(double seconds) noexcept {
  double x = seconds * 1e9;
  if (x <= 0) return 0;
  if (x >= 1.8446744073709552e19) return UINT64_MAX;
  return static_cast<std::uint64_t>(x);
}

PyObject* loopCallLater(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  if (loopInDebug(self)) [[unlikely]] {
    return callTimerDebug(callLater, DebugMethod::call_later, self, args, nargs, kwnames);
  }
  return callLater(self, args, nargs, kwnames);
}

PyObject* loopCallAt(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  if (loopInDebug(self)) [[unlikely]] {
    return callTimerDebug(callAt, DebugMethod::call_at, self, args, nargs, kwnames);
  }
  return callAt(self, args, nargs, kwnames);
}

PyObject* loopTimerHandleCancelled(PyObject*, PyObject*) noexcept { Py_RETURN_NONE; }

void timerOpCancel(TimerOp* op) noexcept {
  // Completed but not yet dispatched: timerFired still runs, queues the
  // handle (which the pass skips) and frees the record.
  if (!op->timer.c.isState(State::running)) return;
  op->rt->loop.clearTimer(&op->timer);
  PyObject* handle = op->handle;
  op->handle = nullptr;
  freeTimerOp(op);
  Py_DECREF(handle);  // last: it may run arbitrary code
}

void timerOpsArmPending(Runtime* rt) noexcept {
  TimerOp* reversed = nullptr;
  for (TimerOp* op = rt->pending_arms; op != nullptr;) {
    TimerOp* next = op->arm_next;
    op->arm_next = reversed;
    reversed = op;
    op = next;
  }
  rt->pending_arms = nullptr;
  while (TimerOp* op = reversed) {
    reversed = op->arm_next;
    op->arm_next = nullptr;
    if (reinterpret_cast<HandleObject*>(op->handle)->cancelled) {
      PyObject* handle = op->handle;
      op->handle = nullptr;
      freeTimerOp(op);
      Py_DECREF(handle);
    } else {
      rt->loop.setTimer(&op->timer, op->timer.timeout);
    }
  }
}

void timerOpsRelease(Runtime* rt) noexcept {
  rt->pending_arms = nullptr;
  while (TimerOp* op = rt->live_timers) {
    if (op->timer.c.isState(State::running)) rt->loop.clearTimer(&op->timer);
    PyObject* handle = op->handle;
    op->handle = nullptr;
    if (handle != nullptr) reinterpret_cast<HandleObject*>(handle)->timer_op = nullptr;
    freeTimerOp(op);
    Py_XDECREF(handle);
  }
}

}  // namespace ombrel
