// _ombrel.SockFuture: an asyncio.Future with a fixed native tail, the future
// of one native operation, and the path that resolves it.
//
// Life: created (tail zeroed) -> in flight (comp set) -> optionally cancel
// requested (cancel_requested, message held) -> reaped (comp cleared by
// finishSockOp) -> done by the ordinary asyncio.Future rules. While comp is
// set, the operation record holds a reference to the future, so the future
// cannot be deallocated with a live tail.
// All of it runs on the loop thread with the interpreter lock held.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "ev/completion.hpp"
#include "os/error.hpp"

namespace ombrel {

struct SockExtra {
  vorn::ev::Completion* comp;  // the operation in flight; null before it starts and once reaped
  PyObject* cancel_msg;        // message of the first cancel() while in flight (strong)
  bool cancel_requested;
};
inline constexpr Py_ssize_t sockfuture_tail_size = 24;
static_assert(sizeof(SockExtra) == sockfuture_tail_size);

// The condensed result handed to finishSockOp.
struct OpOutcome {
  enum class Tag { ok, err, pending };
  Tag tag;
  PyObject* value;  // ok: a new reference, or null for None
  vorn::Error err;  // err
  int os_errno;     // err: the kernel's number behind it, 0 when none

  static OpOutcome ok(PyObject* v = nullptr) noexcept { return {Tag::ok, v, vorn::Error::none, 0}; }
  static OpOutcome error(vorn::Error e, int os_errno = 0) noexcept { return {Tag::err, nullptr, e, os_errno}; }
  // The failure a finished record carries (its code and number).
  static OpOutcome failed(const vorn::ev::Completion& c) noexcept { return error(c.err, c.osErrno()); }
  static OpOutcome pending() noexcept { return {Tag::pending, nullptr, vorn::Error::none, 0}; }
};

// ok(value), or the error OutOfMemory (Python error cleared) when the result
// object could not be made.
OpOutcome okOrOom(PyObject* value) noexcept;

// Creates the type with `future` (asyncio.Future) as its base; the tail
// starts at sockfuture_offset.
PyTypeObject* sockFutureTypeCreate(PyObject* module, PyObject* future) noexcept;

// A new future of loop_obj with a zeroed tail, or NULL with an exception.
PyObject* newSockFuture(PyObject* loop_obj) noexcept;
SockExtra* sockExtra(PyObject* fut) noexcept;

// The Python exception type for an error code without a number (borrowed).
PyObject* pyExcTypeForError(vorn::Error err) noexcept;
// The one way an error becomes an exception object. With the kernel's
// number: what OSError(os_errno, strerror[, filename[, None, filename2]])
// makes, so the subclass, errno, strerror and str() are the built-in ones.
// Without (0): pyExcTypeForError's type with the code's name as its one
// argument. Filenames are borrowed and may be null. New reference, or NULL
// with a Python exception set. Loop thread, interpreter lock held.
PyObject* makeOsError(vorn::Error err, int os_errno, PyObject* filename = nullptr,
                      PyObject* filename2 = nullptr) noexcept;

// Resolution. futureSetResult borrows value. Failures are written with
// PyErr_WriteUnraisable(fut); nothing propagates.
bool futureCancelled(PyObject* fut) noexcept;
void futureSetResult(PyObject* fut, PyObject* value) noexcept;
void futureSetError(PyObject* fut, vorn::Error err, int os_errno = 0) noexcept;

// Carries out a pending cancellation request; true when there was one.
bool sockFutureReap(PyObject* fut) noexcept;
// false for pending (nothing done); true otherwise. Consumes an ok value.
// A null future (an operation orphaned by close) only drops the value.
bool finishSockOp(PyObject* fut, OpOutcome outcome) noexcept;

// Close: detaches a future from its record for good, dropping a held
// cancellation message (the loop is going away; the record is not freed).
void sockFutureSever(PyObject* fut) noexcept;

}  // namespace ombrel
