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
// The set of such loops is process-wide, switched by the module function
// _set_loop_debug(loop, enabled). Each entry holds a weak reference to its
// loop whose callback removes the entry, so a loop that dies in debug mode
// leaves nothing behind; an empty set is the fast path of every scheduling
// call (one load and a branch). Every access holds the interpreter lock.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace ombrel {

struct Runtime;

extern Py_ssize_t debug_loops_len;

bool debugLoopsContain(PyObject* loop) noexcept;

inline bool loopInDebug(PyObject* loop) noexcept { return debug_loops_len != 0 && debugLoopsContain(loop); }

// The loop object (borrowed) in debug mode whose runtime is `rt`, else null.
PyObject* debugLoopOfRuntime(Runtime* rt) noexcept;

enum class DebugMethod { call_soon, call_soon_threadsafe, call_later, call_at };

// loop._debug_check(method name, callback): refuses the call (NULL with the
// exception) or returns where it was made (new reference; None when not
// worth keeping).
PyObject* debugCheck(PyObject* loop, DebugMethod method, PyObject* callback) noexcept;

// Reports one callback run of `elapsed` seconds to loop._debug_ran; a
// failing report is written as unraisable.
void debugRan(PyObject* loop, PyObject* handle, double elapsed) noexcept;

// Adds _set_loop_debug to the module; -1 with an exception on failure.
int debugModeInit(PyObject* module) noexcept;

}  // namespace ombrel
