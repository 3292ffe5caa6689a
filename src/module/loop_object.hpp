// _ombrel.Loop: the Python type whose instances own one Runtime (its layout
// and accessors are in runtime.hpp); its methods drive the loop.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace ombrel {

// The Loop type, created from its spec (the method table lives with it).
PyTypeObject* loopTypeCreate(PyObject* module) noexcept;

}  // namespace ombrel
