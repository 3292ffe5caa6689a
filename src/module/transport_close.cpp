// Transport closing: graceful close, abort, fatal errors, closing the
// descriptor through the loop, and finalization (connection_lost once).
#include <cstdlib>
#include <new>
#include <string_view>

#include "module/globals.hpp"
#include "module/recv_buffers.hpp"
#include "module/runtime.hpp"
#include "module/sock_future.hpp"
#include "module/transport.hpp"
#include "os/fd.hpp"

namespace ombrel {

using vorn::Error;

void transportReleasePins(PodArray<Py_buffer>& pins) noexcept {
  for (std::size_t i = 0; i < pins.len; ++i) PyBuffer_Release(&pins.data[i]);
  pins.len = 0;
}

void transportDoClose(TransportState* st) noexcept {
  if (st->closing) return;
  st->closing = true;
  if (st->reading && st->loop != nullptr) st->loop->cancel(&st->recv.c);
  // Queued data goes out now rather than after the next ready pass; the
  // descriptor is closed once the last send completes, and writes made
  // meanwhile join the drain. With nothing to send the connection is lost
  // for writers at once.
  transportStartSend(st);
  if (!st->sending) st->sub.write_closed = true;
  transportFinishIfIdle(st);
}

void transportForceAbort(TransportState* st) noexcept {
  if (st->conn_lost_called) return;
  // A send in flight keeps its batch pinned until finalization: the kernel
  // may still read it.
  for (std::size_t i = 0; i < st->out_iov.len; ++i) st->buffered -= st->out_iov.data[i].iov_len;
  transportReleasePins(st->out_pin);
  st->out_iov.len = 0;
  transportAbortInflight(st);
}

void transportAbortInflight(TransportState* st) noexcept {
  if (st->conn_lost_called) return;
  st->closing = true;
  st->aborting = true;
  if (st->loop != nullptr) {
    if (st->reading) st->loop->cancel(&st->recv.c);
    if (st->sending) st->loop->cancel(st->send_waiting ? &st->tx->send_wait.c : &st->tx->send.c);
  }
  transportFinishIfIdle(st);
}

PyObject* transportMakeError(Error err, std::uint16_t os_errno) noexcept {
  // What the standard loop's connection_lost receives: the socket module's
  // OSError of that number (a readiness wait without one: the code's type).
  return makeOsError(err, os_errno);
}

void transportFatalOsError(TransportState* st, Error err, std::uint16_t os_errno) noexcept {
  PyObject* exc = transportMakeError(err, os_errno);
  if (exc == nullptr) {
    PyErr_WriteUnraisable(reinterpret_cast<PyObject*>(st->selfobj));
  } else if (st->close_exc == nullptr) {
    st->close_exc = exc;
  } else {
    Py_DECREF(exc);
  }
  // Queued output can no longer go anywhere, and finishing waits for an
  // empty queue: drop it with the rest.
  transportForceAbort(st);
}

void transportFatalPyErr(TransportState* st) noexcept {
  PyObject* exc = PyErr_GetRaisedException();
  transportReportFatal(st, exc, "Fatal error on transport (protocol callback failed)", true);
  Py_XDECREF(exc);
}

void transportReportFatal(TransportState* st, PyObject* exc, const char* message, bool report) noexcept {
  // What the protocol wrote before failing would already be on its way with
  // other loops.
  transportSendBeforeAbort(st);
  if (exc == nullptr) {
    transportForceAbort(st);
    return;
  }
  // Recorded before the handler runs: the handler may close the transport,
  // and connection_lost must still see this exception.
  if (st->close_exc == nullptr) st->close_exc = Py_NewRef(exc);
  if (report && st->loop_obj != nullptr) {
    PyObject* loop_obj = Py_NewRef(st->loop_obj);
    PyObject* ctx = PyDict_New();
    bool built = ctx != nullptr;
    if (built) {
      PyObject* msg = PyUnicode_FromString(message);
      if (msg == nullptr) {
        PyErr_Clear();  // the key is skipped
      } else {
        built = PyDict_SetItemString(ctx, "message", msg) == 0;
        Py_DECREF(msg);
      }
      built = built && PyDict_SetItemString(ctx, "exception", exc) == 0 &&
              PyDict_SetItemString(ctx, "transport", reinterpret_cast<PyObject*>(st->selfobj)) == 0 &&
              (st->protocol == nullptr || PyDict_SetItemString(ctx, "protocol", st->protocol) == 0);
    }
    if (!built) {
      PyErr_Clear();
    } else {
      PyObject* args[] = {loop_obj, ctx};
      PyObject* r =
          PyObject_VectorcallMethod(str_call_exception_handler, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
      if (r == nullptr) {
        PyErr_WriteUnraisable(loop_obj);
      } else {
        Py_DECREF(r);
      }
    }
    Py_XDECREF(ctx);
    Py_DECREF(loop_obj);
  }
  transportForceAbort(st);
}

namespace {

// When the finish starts inside a call (close(), abort(), end of stream or
// a failure met while delivering), connection_lost waits for every operation
// of the transport to be back, the descriptor's close included: it never runs
// inside that call, and comes one loop iteration later, as with asyncio's
// transports.
void transportFinalizeWhenIdle(TransportState* st) noexcept {
  if (!st->reading && !st->sending && !st->fd_closing) transportFinalize(st);
}

}  // namespace

// The descriptor is closed as soon as nothing is left to send: a receive
// (always cancelled once closing) or an aborted send still in flight does
// not hold it up. They hold the kernel's file, not its number, and their
// cancellations and the close complete in the same tick, so connection_lost
// (which waits for all three) comes one loop iteration after close() or
// abort(), as with asyncio's transports.
void transportFinishIfIdle(TransportState* st) noexcept {
  if (!st->closing || st->conn_lost_called) return;
  if (st->sub.finish_begun) {
    transportFinalizeWhenIdle(st);
    return;
  }
  if (!st->out_iov.empty() || (st->sending && !st->aborting)) return;
  transportBeginFinish(st);
}

// When the receive or send that ends a close comes back (the drain's last
// send, a cancelled operation), the connection is finished: connection_lost
// runs now, as asyncio's transports call it when their last write drains,
// without waiting for the descriptor's close. That close may complete only
// when the loop runs again (a stopped loop, a long callback), and needs the
// state and the number, not the protocol, the socket object or the wrapper,
// which finalization lets go of.
void transportFinishAfterOp(TransportState* st) noexcept {
  transportFinishIfIdle(st);
  if (st->sub.finish_begun && !st->reading && !st->sending) transportFinalize(st);
}

namespace {

void callAndClear(PyObject* obj, PyObject* name) noexcept {
  PyObject* r = PyObject_CallMethodNoArgs(obj, name);
  if (r == nullptr) {
    PyErr_Clear();
  } else {
    Py_DECREF(r);
  }
}

}  // namespace

void transportBeginFinish(TransportState* st) noexcept {
  st->sub.finish_begun = true;
  // The package's wrapper (the `server` it passed) records what it reports
  // about the socket while the descriptor is still open.
  PyObject* hook = nullptr;
  if (st->server != nullptr && PyObject_GetOptionalAttr(st->server, str_before_close, &hook) > 0) {
    PyObject* r = PyObject_CallNoArgs(hook);
    Py_DECREF(hook);
    Py_XDECREF(r);
  }
  PyErr_Clear();
  if (st->sockobj == nullptr) {
    transportFinalizeWhenIdle(st);
    return;
  }
  PyObject* sock = Py_NewRef(st->sockobj);
  // A runtime being torn down has no loop left to close through.
  if (st->rt == nullptr || st->rt->closing) {
    callAndClear(sock, str_close);
    Py_DECREF(sock);
    transportFinalizeWhenIdle(st);
    return;
  }
  // detach() makes the socket object give up the descriptor without closing
  // it; the loop closes it.
  PyObject* r = PyObject_CallMethodNoArgs(sock, str_sock_detach);
  if (r == nullptr) {
    PyErr_Clear();
    callAndClear(sock, str_close);
    Py_DECREF(sock);
    transportFinalizeWhenIdle(st);
    return;
  }
  // detach() answers the descriptor the socket object gave up, -1 when it
  // had none any more (closed behind the transport's back). The number may
  // then name another file opened since: it must not be closed.
  bool handed_over = true;
  if (PyLong_Check(r)) {
    long long v = PyLong_AsLongLong(r);
    if (v == -1 && PyErr_Occurred()) PyErr_Clear();
    handed_over = v == st->fd;
  }
  Py_DECREF(r);
  Py_DECREF(sock);
  if (!handed_over) {
    transportFinalizeWhenIdle(st);
    return;
  }
  // detach() is Python code: the runtime may have been closed meanwhile.
  if (st->loop == nullptr || st->rt->closing) {
    vorn::os::closeOnce(st->fd);
    transportFinalizeWhenIdle(st);
    return;
  }
  auto* op = static_cast<NetCloseOp*>(std::malloc(sizeof(NetCloseOp)));
  if (op == nullptr) {
    vorn::os::closeOnce(st->fd);
    transportFinalizeWhenIdle(st);
    return;
  }
  new (op) NetCloseOp{};
  op->close.init(st->fd);
  op->close.c.callback = netCloseDone;
  op->close.c.userdata = op;
  op->st = st;
  st->fd_closing = true;
  Py_INCREF(reinterpret_cast<PyObject*>(st->selfobj));
  st->loop->add(&op->close.c);
}

void netCloseDone(vorn::ev::Loop*, vorn::ev::Completion* c) noexcept {
  auto* op = static_cast<NetCloseOp*>(c->userdata);
  TransportState* st = op->st;
  op->~NetCloseOp();
  std::free(op);
  PyObject* self = reinterpret_cast<PyObject*>(st->selfobj);  // the close's reference
  st->fd_closing = false;
  // The close's own result is of no use: the descriptor is gone.
  if (st->conn_lost_called) {
    transportReleaseRuntime(st);
  } else {
    transportFinalizeWhenIdle(st);
  }
  Py_DECREF(self);
}

void transportReleaseRuntime(TransportState* st) noexcept {
  transportUnlink(st);
  st->rt = nullptr;
  st->loop = nullptr;
}

void transportFinalize(TransportState* st) noexcept {
  if (st->conn_lost_called) return;
  st->conn_lost_called = true;
  // A descriptor close still in the ring keeps the transport on the live
  // list, and its runtime, until netCloseDone: the loop's close waits for it.
  if (!st->fd_closing) transportUnlink(st);
  if (st->protocol != nullptr) {
    ProtocolContext scope(st);
    PyObject* proto = Py_NewRef(st->protocol);
    PyObject* r =
        PyObject_CallMethodOneArg(proto, str_connection_lost, st->close_exc != nullptr ? st->close_exc : Py_None);
    if (r == nullptr) {
      PyErr_WriteUnraisable(proto);
    } else {
      Py_DECREF(r);
    }
    Py_DECREF(proto);
  }
  Py_CLEAR(st->close_exc);
  Py_CLEAR(st->context);
  if (st->server != nullptr) {
    PyObject* server = Py_NewRef(st->server);
    callAndClear(server, str_detach);
    Py_DECREF(server);
  }
  Py_CLEAR(st->protocol);
  Py_CLEAR(st->sockobj);
  Py_CLEAR(st->server);
  Py_CLEAR(st->extra);
  Py_CLEAR(st->loop_obj);
  // A transport finished by the loop's close may still have a receive or a
  // send the kernel owns: their memory stays.
  if (!st->reading) {
    recvBufferPut(st->recv_buf.ptr, st->sub.recv_dirty);
    st->recv_buf = {};
  }
  transportReleasePins(st->out_pin);
  st->out_iov.freeStorage();
  st->out_pin.freeStorage();
  if (!st->sending) {
    transportReleasePins(st->send_pin);
    st->send_iov.freeStorage();
    st->send_pin.freeStorage();
  }
  st->buffered = 0;
  // Nothing else is in flight and nothing will be started: the runtime, which
  // may be freed before this object, is no longer needed.
  if (!st->fd_closing) transportReleaseRuntime(st);
}

}  // namespace ombrel
