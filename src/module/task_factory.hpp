// The package's create_task and create_future, in native code because they
// run once per task and per future. Both run on the loop's thread with the
// interpreter lock held, like the asyncio methods they implement.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace ombrel {

// Loads asyncio.tasks and asyncio.futures; false with an exception set.
bool taskFactoryInit() noexcept;

// _create_task(coro, **kwargs) -> Task: the loop's _task_factory when set,
// else asyncio.tasks.Task(coro, loop=self, **kwargs). RuntimeError on a
// closed loop.
PyObject* loopCreateTask(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;

// _create_future() -> asyncio.futures.Future(loop=self).
PyObject* loopCreateFuture(PyObject* self, PyObject*) noexcept;

}  // namespace ombrel
