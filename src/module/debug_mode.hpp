// Debug mode of a loop, as seen by the native scheduling paths.
//
// A loop in debug mode has its call_soon, call_soon_threadsafe, call_later
// and call_at ask the package to check the call and to name where it came
// from (its `_debug_check(method, callback)` returns the source traceback,
// which the new handle keeps), and has its ready pass time each callback and
// hand the time to the package (`_debug_ran(handle, seconds)`). The checks
// live in the scheduling methods themselves, so a method bound before debug
// mode was switched on follows it too.
//
// The switch is the runtime's `debug_loop` (set by Loop._set_debug): a
// plain load and branch on every scheduling call and ready pass. Every access
// holds the interpreter lock.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace ombrel {

// Whether `loop` (a Loop object) is open and in debug mode.
bool loopInDebug(PyObject* loop) noexcept;

enum class DebugMethod { call_soon, call_soon_threadsafe, call_later, call_at };

// loop._debug_check(method name, callback): refuses the call (NULL with the
// exception) or returns where it was made (new reference; None when not
// worth keeping).
PyObject* debugCheck(PyObject* loop, DebugMethod method, PyObject* callback) noexcept;

// Reports one callback run of `elapsed` seconds to loop._debug_ran; a
// failing report is written as unraisable.
void debugRan(PyObject* loop, PyObject* handle, double elapsed) noexcept;

// Loop._set_debug(enabled): switches the checks (nothing on a closed loop).
PyObject* loopSetDebug(PyObject* self, PyObject* enabled) noexcept;

// Interns the names the checks call; -1 with an exception on failure.
int debugModeInit() noexcept;

}  // namespace ombrel
