// A method of the native Transport, installed on the Python class that wraps
// it (python/ombrel/_transport.py; the wrapper holds the native transport in
// `_native`).
//
// Called as `transport.write(data)`, it calls the native method on
// `transport._native` at once: the call makes no bound method and the
// wrapper stores none per instance (bound methods stored per instance
// would cost about a kilobyte per connection). Read as an attribute, it gives the native bound method. An
// instance attribute of the same name takes precedence, as over any method.
// Interpreter lock held; no state of its own beyond the method it names.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace ombrel {

// The type (not instantiable from Python); null with an exception on failure.
PyTypeObject* transportMethodTypeCreate(PyObject* module) noexcept;
// Loop._transport_method(name), a static method:: the method of that name, or
// AttributeError when the native Transport has none.
PyObject* loopTransportMethod(PyObject* unused, PyObject* name) noexcept;

}  // namespace ombrel
