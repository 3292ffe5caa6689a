// _ombrel.Transport: the stream transport over a socket.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace ombrel {

struct Runtime;
struct TransportState;

struct TransportObject {
  PyObject_HEAD
  TransportState* st;
};

PyTypeObject* transportTypeCreate(PyObject* module, PyObject* bases) noexcept;

// Loop._make_transport(sock, protocol, extra, server) -> Transport.
PyObject* loopMakeTransport(PyObject* self, PyObject* args) noexcept;

// Starts the sends of every transport on the flush list (after each ready pass).
void transportFlushAll(Runtime* rt) noexcept;
// Close: aborts every transport that is not already closing.
void transportAbortAll(Runtime* rt) noexcept;
// Close: empties the flush list without sending.
void transportDropFlushList(Runtime* rt) noexcept;

}  // namespace ombrel
