// Descriptor pollers (_add_poller / _remove_poller) and child waits
// (_wait_pid).
//
// A registration owns one PollOp whose one-shot poll is re-armed after every
// readiness event. Invariant: every record in Runtime::pollers has `removed`
// clear and an armed or completing poll; a record with `removed` set is in no
// map and is owned by its pending completion, which frees it.
// Loop thread, interpreter lock held.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "ev/ops.hpp"

namespace ombrel {

struct Runtime;

struct PollOp {
  vorn::ev::PipePoll poll;  // first: the completion's userdata is this record
  PyObject* callback;       // strong
  Runtime* rt;
  std::uint64_t key;
  std::int32_t fd;
  vorn::ev::PipePoll::Event event;
  bool removed;
};

// The map key: the descriptor doubled, plus 1 for write.
constexpr std::uint64_t pollKey(std::int32_t fd, bool is_write) noexcept {
  return static_cast<std::uint64_t>(static_cast<std::uint32_t>(fd)) * 2 + (is_write ? 1 : 0);
}

PyObject* loopAddPoller(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;
PyObject* loopRemovePoller(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;
PyObject* loopWaitPid(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;

// Close: ends every registration (its record is freed when the cancelled
// poll completes, during the close drain).
void pollersRelease(Runtime* rt) noexcept;

}  // namespace ombrel
