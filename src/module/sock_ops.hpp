// One-shot socket operations on raw descriptors: _sock_recv, _sock_sendall,
// _sock_connect, _sock_accept, _sock_sendfile. Each returns a SockFuture.
// The sockets belong to the caller; the module never opens, configures or
// closes them, except an accepted descriptor it cannot hand over.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace ombrel {

PyObject* loopSockRecv(PyObject* self, PyObject* args) noexcept;
PyObject* loopSockSendall(PyObject* self, PyObject* args) noexcept;
PyObject* loopSockConnect(PyObject* self, PyObject* args) noexcept;
PyObject* loopSockAccept(PyObject* self, PyObject* args) noexcept;
PyObject* loopSockSendfile(PyObject* self, PyObject* args) noexcept;

}  // namespace ombrel
