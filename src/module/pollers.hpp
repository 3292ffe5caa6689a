// Descriptor pollers (_add_poller / _remove_poller) and child waits
// (_wait_pid).
//
// A registration owns one PollOp and one epoll set that holds only its
// descriptor; the ring waits for that set with a one-shot poll, re-armed
// after every readiness event. The ring's poll holds the set, not the watched
// file: a descriptor closed while watched is released at once (its peer sees
// the end of stream), as under the standard loop's selector, and merely
// leaves the set, whose poll then never completes. The set is ready exactly
// while the descriptor is (level-triggered), so an undrained descriptor is
// reported once per loop iteration. A set is never changed after it is made:
// a forked child that inherits it cannot alter what the parent watches.
//
// A registration made with the callback's arguments and context owns one
// Handle, bound when it is made: each readiness event queues that same
// handle on the ready queue, which runs it in the iteration's ready pass with
// the exceptions going to the loop's handler, as the standard loop runs its
// reader and writer handles; no object is made per event. Whoever removes
// or replaces the watch cancels its handle, so that a run still queued is
// skipped (not done here: a cancel may run Python code, which may close the
// loop under the caller).
//
// Invariant: every record in Runtime::pollers has `removed` clear and an
// armed or completing poll; a record with `removed` set is in no map and is
// owned by its pending completion, which frees it.
// Loop thread, interpreter lock held.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "ev/ops.hpp"

namespace ombrel {

struct Runtime;

struct PollOp {
  vorn::ev::PipePoll poll;  // first: the completion's userdata is this record; polls `epfd`
  PyObject* callback;       // strong; the Handle itself when `queues` is set
  Runtime* rt;
  std::uint64_t key;
  std::int32_t fd;
  std::int32_t epfd;  // owned: the set holding fd; closed with the record
  vorn::ev::PipePoll::Event event;
  bool removed;
  bool queues;  // readiness queues `callback` (an _ombrel.Handle) instead of calling it
};

// The map key: the descriptor doubled, plus 1 for write.
constexpr std::uint64_t pollKey(std::int32_t fd, bool is_write) noexcept {
  return static_cast<std::uint64_t>(static_cast<std::uint32_t>(fd)) * 2 + (is_write ? 1 : 0);
}

// _add_poller(fd, event, callback) calls callback() on readiness and returns
// None; _add_poller(fd, event, callback, args, context) binds a Handle of
// callback(*args) run in context, queues it on readiness and returns it; a
// sixth argument other than None is the handle's source traceback.
PyObject* loopAddPoller(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;
PyObject* loopRemovePoller(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;
PyObject* loopWaitPid(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;

// Close: ends every registration (its record is freed when the cancelled
// poll completes, during the close drain).
void pollersRelease(Runtime* rt) noexcept;

}  // namespace ombrel
