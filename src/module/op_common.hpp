// Helpers shared by the operation methods (socket, file, child wait):
// argument conversion and the record start/finish protocol.
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
#include "module/runtime.hpp"
#include "module/sock_future.hpp"

namespace ombrel {

// A descriptor argument: PyLong_AsLongLong, stored as 32 bits (a value
// outside that range raises OverflowError). -1 without an exception is a
// value like any other.
bool fdArg(PyObject* args, Py_ssize_t index, std::int32_t* out) noexcept;

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

// The start of a write-like operation: the record, the caller's data pinned
// in `view` (used in place, never copied), and the future, stored in `fut`
// and returned through *fut_out (the caller's reference). Null with an
// exception set; nothing stays allocated then.
template <class Record>
Record* allocPinnedRecord(PyObject* self, PyObject* data, PyObject** fut_out) noexcept {
  auto* op = allocRecord<Record>();
  if (op == nullptr) return nullptr;
  if (PyObject_GetBuffer(data, &op->view, PyBUF_SIMPLE) < 0) {
    freeRecord(op);
    return nullptr;
  }
  PyObject* fut = newSockFuture(self);
  if (fut == nullptr) {
    PyBuffer_Release(&op->view);
    freeRecord(op);
    return nullptr;
  }
  op->fut = Py_NewRef(fut);
  *fut_out = fut;
  return op;
}

// The common end of starting an operation whose record, future and inputs
// are ready: callback and user data, the future's link to the completion,
// the live list, Loop::add.
void startOp(Runtime* rt, PyObject** fut_slot, LiveOp* live, vorn::ev::Completion* c, vorn::ev::Callback done,
             void* record) noexcept;

// A file offset argument: PyLong_AsUnsignedLongLong, at most the largest
// file offset (2**63 - 1): a larger one would reach the kernel as a negative
// number, and -1 there means "the file position".
bool offsetArg(PyObject* args, Py_ssize_t index, std::uint64_t* out) noexcept;

// Whether an operation should stop instead of continuing (a partial send or
// write, an accepted descriptor): its future asked to be cancelled, or close
// orphaned it (null future).
inline bool opAbandoned(PyObject* fut) noexcept { return fut == nullptr || sockExtra(fut)->cancel_requested; }

// A receive or stream read answered from what a cancelled one left for fd,
// without the kernel: 1 when fut was resolved with up to max kept bytes, 0
// when nothing is kept, -1 with an exception set.
int resolveFromKept(Runtime* rt, std::int32_t fd, std::size_t max, PyObject* fut) noexcept;

// Ends a record's life after its final outcome: unlinks it from the live
// list and drops its future reference (the caller then frees the record).
void endOp(Runtime* rt, LiveOp* live, PyObject** fut) noexcept;

}  // namespace ombrel
