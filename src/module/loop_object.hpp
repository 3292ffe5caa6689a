// _ombrel.Loop: the Python type whose instances own one Runtime.
// A null `rt` means closed (or never initialised).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "module/runtime.hpp"

namespace ombrel {

struct LoopObject {
  PyObject_HEAD
  Runtime* rt;
};

// RuntimeError "Event loop is closed"; returns NULL.
PyObject* closedError() noexcept;

// The runtime for starting an operation, a transport or a poller: null when
// the loop is closed or closing (callbacks run by close's drain may still
// schedule callbacks, but nothing that would outlive the runtime).
inline Runtime* openRuntime(PyObject* self) noexcept {
  Runtime* rt = reinterpret_cast<LoopObject*>(self)->rt;
  return rt != nullptr && !rt->closing ? rt : nullptr;
}

// The Loop type, created from its spec (the method table lives with it).
PyTypeObject* loopTypeCreate(PyObject* module) noexcept;

// One pass over the ready queue; false when a callback's exception must
// propagate (it is set).
bool drainReady(Runtime* rt) noexcept;

// Calls the callbacks of every record the tick parked, including records
// parked while doing so.
void dispatchCompletions(Runtime* rt) noexcept;

// Tears the runtime down (close and deallocation).
void closeRuntime(LoopObject* self) noexcept;

}  // namespace ombrel
