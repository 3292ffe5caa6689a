// One-shot socket operations on raw descriptors: _sock_recv, _sock_sendall,
// _sock_connect, _sock_accept, _sock_sendfile. Each returns a SockFuture.
// The sockets belong to the caller; the module never opens, configures or
// closes them, except an accepted descriptor it cannot hand over.
//
// _sock_sendall first offers the data to the kernel directly: when it takes
// every byte, the future is done on return and the caller does not wait; the
// ring sends only what is left. Sends on one descriptor go out one after the
// other in call order, none overtaking or interleaving with another.
//
// _sock_sendfile(sock, file, offset, count[, sent]): `sent`, a list, gets
// the number of bytes sent at index 0 when the operation ends, whether it
// succeeded, failed or was cancelled.
//
// What a receive or accept reaped as cancelled got is kept in the runtime
// (kept_input.hpp) and answers the next receive or accept on the descriptor
// at once. The package gives back a result its task could not take
// (_sock_unrecv, _sock_unaccept) and collects what is kept when the
// descriptor passes to a transport or closes (_sock_take_kept).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace ombrel {

PyObject* loopSockRecv(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;
PyObject* loopSockSendall(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;
PyObject* loopSockConnect(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;
PyObject* loopSockAccept(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;
PyObject* loopSockSendfile(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;

// _sock_unrecv(fd, data) -> bool: data goes back in front of what the next
// receive on fd returns. _sock_unaccept(fd, conn) -> bool: conn (owned by
// the call) goes back in front of the next accept on fd; closed when it
// cannot be kept. _sock_has_kept(fd) -> bool. _sock_take_kept(fd) -> bytes:
// drops what is kept for fd (kept connections closed), returning its bytes.
// On a closed loop nothing is kept and nothing raises.
PyObject* loopSockUnrecv(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;
PyObject* loopSockUnaccept(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;
PyObject* loopSockHasKept(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;
PyObject* loopSockTakeKept(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;

// _sock_accept_stop(fd, fut) -> list[int]: this loop stops accepting on the
// listener fd before the call returns. fut, the accept in flight on fd (or
// None), is cancelled in the kernel and reaped as cancelled, so that the
// ring no longer holds the listener's file nor takes a connection from it
// (its queue may be shared with other processes). Returns the connections
// accepted on fd that this loop holds and has not handed out (one the
// kernel accepted for fut first, those kept from cancelled accepts), oldest
// first; they are the caller's. Nothing is ever shut down.
PyObject* loopSockAcceptStop(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;

}  // namespace ombrel
