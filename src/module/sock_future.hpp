// _ombrel.SockFuture: an asyncio.Future with a fixed native tail, the future
// of one native operation.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace ombrel {

inline constexpr Py_ssize_t sockfuture_tail_size = 24;

// Creates the type with `future` (asyncio.Future) as its base; the tail
// starts at sockfuture_offset.
PyTypeObject* sockFutureTypeCreate(PyObject* module, PyObject* future) noexcept;

}  // namespace ombrel
