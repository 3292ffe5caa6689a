// Descriptor pollers (_add_poller / _remove_poller) and child waits
// (_wait_pid).
//
// Every registered descriptor is in the runtime's one epoll set, made at the
// first registration; the ring waits for the set itself with one one-shot
// poll, re-armed after each harvest while registrations remain. The set does
// not hold the watched files: a descriptor closed while watched is released
// at once (its peer sees the end of stream), as under the standard loop's
// selector, and leaves the set by itself. Level-triggered like that
// selector: a descriptor left ready is reported again at the next harvest,
// once per loop iteration.
// Loop thread, interpreter lock held.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "ev/ops.hpp"

namespace ombrel {

struct Runtime;

// One registration, Runtime::pollers[pollKey(fd, is_write)]. Replacing or
// removing it frees it at once: a harvest in progress looks every callback
// up again and holds its own reference for the call.
struct PollOp {
  PyObject* callback;  // strong
};

// The runtime's epoll set and the ring's poll of it.
struct ReadinessSet {
  vorn::ev::PipePoll poll;  // first: the completion's userdata is this record
  Runtime* rt;
  int epfd;                       // owned; closed once, when the record goes
  std::uint32_t fork_generation;  // forks seen when epfd was made (see pollers.cpp)
  bool armed;                     // the poll is in the ring
  bool harvesting;                // readinessDone is calling callbacks
  bool released;                  // the runtime let go: freed when the poll completes
};

// The map key: the descriptor doubled, plus 1 for write.
constexpr std::uint64_t pollKey(std::int32_t fd, bool is_write) noexcept {
  return static_cast<std::uint64_t>(static_cast<std::uint32_t>(fd)) * 2 + (is_write ? 1 : 0);
}

PyObject* loopAddPoller(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;
PyObject* loopRemovePoller(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;
PyObject* loopWaitPid(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;

// Close: ends every registration and lets go of the set (freed when its
// cancelled poll completes, during the close drain, which waits for it
// through Runtime::polls_removed_pending).
void pollersRelease(Runtime* rt) noexcept;

}  // namespace ombrel
