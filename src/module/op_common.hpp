// Helpers shared by the operation methods (socket, file, child wait): the
// order of their start (arguments, future, runtime) and the record
// start/finish protocol.
//
// Records are allocated with the C allocator, embed their ev operation
// first, hold a strong reference to their future (`fut`) and end with a
// LiveOp link. They live from the method call until their done function has
// delivered a final outcome.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstdlib>
#include <new>

#include "ev/completion.hpp"
#include "module/args.hpp"
#include "module/runtime.hpp"
#include "module/sock_future.hpp"

namespace ombrel {

// Whether an operation method may go on to convert its arguments: a loop
// closed (or closing) before the call answers "Event loop is closed"
// whatever the arguments. The runtime is not read here: the conversions
// that follow may still close the loop (see args.hpp).
inline bool loopOpenForCall(PyObject* self) noexcept {
  if (openRuntime(self) != nullptr) return true;
  closedError();
  return false;
}

// The runtime of an operation whose arguments are converted and whose
// future exists (making it calls the loop's get_debug, Python code too):
// read now, once. Null with RuntimeError set and the future dropped when
// that code closed the loop.
inline Runtime* runtimeForOp(PyObject* self, PyObject* fut) noexcept {
  Runtime* rt = openRuntime(self);
  if (rt == nullptr) {
    Py_DECREF(fut);
    closedError();
  }
  return rt;
}

// A zero-initialised record, or null with MemoryError set.
template <class Record>
Record* allocRecord() noexcept {
  void* mem = std::calloc(1, sizeof(Record));
  if (mem == nullptr) {
    PyErr_NoMemory();
    return nullptr;
  }
  return new (mem) Record{};
}

template <class Record>
void freeRecord(Record* r) noexcept {
  r->~Record();
  std::free(r);
}

// A zero-initialised record holding a new reference to fut, and rt; null
// with MemoryError set, and the caller's future dropped, when memory ran out.
template <class Record>
Record* opRecord(Runtime* rt, PyObject* fut) noexcept {
  auto* op = allocRecord<Record>();
  if (op == nullptr) {
    Py_DECREF(fut);
    return nullptr;
  }
  op->fut = Py_NewRef(fut);
  op->rt = rt;
  return op;
}

// Resolves fut at once with `result` (stolen), for a method about to
// return fut. A null result (making it failed, the exception is set) drops
// fut and gives null.
inline PyObject* resolvedNow(PyObject* fut, PyObject* result) noexcept {
  if (result == nullptr) {
    Py_DECREF(fut);
    return nullptr;
  }
  futureSetResult(fut, result);
  Py_DECREF(result);
  return fut;
}

// The same with the int `value` that was kept (a connection, an exit
// status): when the int cannot be made, `putBack` keeps the value again.
template <class PutBack>
PyObject* resolvedWithKeptInt(PyObject* fut, long value, PutBack putBack) noexcept {
  PyObject* result = PyLong_FromLong(value);
  if (result == nullptr) putBack();
  return resolvedNow(fut, result);
}

// A zero-initialised record and, in *buf, a buffer of n bytes for what it
// reads (the record's to free). Null with MemoryError set, and the caller's
// future dropped, when either cannot be had.
template <class Record>
Record* allocReadRecord(std::size_t n, char** buf, PyObject* fut) noexcept {
  auto* op = allocRecord<Record>();
  *buf = op != nullptr ? static_cast<char*>(std::malloc(n)) : nullptr;
  if (*buf != nullptr) return op;
  if (op != nullptr) {
    freeRecord(op);
    PyErr_NoMemory();
  }
  Py_DECREF(fut);
  return nullptr;
}

// The common end of starting an operation whose record, future and inputs
// are ready: callback and user data, the future's link to the completion,
// the live list, Loop::add.
void startOp(Runtime* rt, PyObject** fut_slot, LiveOp* live, vorn::ev::Completion* c, vorn::ev::Callback done,
             void* record) noexcept;

// Whether an operation should stop instead of continuing (a partial send or
// write, an accepted descriptor): its future asked to be cancelled, or close
// orphaned it (null future).
inline bool opAbandoned(PyObject* fut) noexcept { return fut == nullptr || sockExtra(fut)->cancel_requested; }

// A receive or stream read about to return *fut, answered from what a
// cancelled one left for fd, without the kernel: true when *fut was resolved
// with up to max kept bytes (or making them failed: *fut is then null, with
// the exception set), false when nothing is kept.
bool answeredFromKept(Runtime* rt, std::int32_t fd, std::size_t max, PyObject** fut) noexcept;

// Ends a record's life after its final outcome: unlinks it from the live
// list and drops its future reference (the caller then frees the record).
void endOp(Runtime* rt, LiveOp* live, PyObject** fut) noexcept;

}  // namespace ombrel
