// Transport writing: the double-buffered queue of pinned objects, the flush
// list run after each ready pass, vectored sends, write_eof and write flow
// control.
//
// Queue pair (out_iov/out_pin): what write appended since the last send
// started. Batch pair (send_iov/send_pin): the data of the send in flight.
// Starting a send swaps the pairs; the batch pair is empty whenever no send
// is in flight (except after an abort, when it is never sent again), so the
// swap hands its spare capacity to the queue.
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <new>
#include <span>

#include "module/globals.hpp"
#include "module/runtime.hpp"
#include "module/transport.hpp"
#include "os/assert.hpp"

namespace ombrel {

namespace {

void callProtoNoArgs(TransportState* st, PyObject* name) noexcept {
  if (st->protocol == nullptr) return;
  PyObject* proto = Py_NewRef(st->protocol);
  PyObject* r = PyObject_CallMethodNoArgs(proto, name);
  if (r == nullptr) {
    PyErr_WriteUnraisable(proto);
  } else {
    Py_DECREF(r);
  }
  Py_DECREF(proto);
}

void iovAdvance(iovec& iov, std::size_t n) noexcept {
  iov.iov_base = static_cast<char*>(iov.iov_base) + n;
  iov.iov_len -= n;
}

// A write to a lost connection is dropped. Writers that never check
// is_closing() get a warning from the fifth such write on, worded like
// asyncio's own transports'.
PyObject* transportWriteLost(TransportState* st) noexcept {
  constexpr std::uint32_t warn_from = 5;
  if (st->sub.lost_writes < warn_from) ++st->sub.lost_writes;
  if (st->sub.lost_writes < warn_from) Py_RETURN_NONE;
  PyObject* logger = PyImport_ImportModuleAttrString("asyncio.log", "logger");
  if (logger == nullptr) return nullptr;
  PyObject* r = PyObject_CallMethod(logger, "warning", "s", "socket.send() raised exception.");
  Py_DECREF(logger);
  if (r == nullptr) return nullptr;
  Py_DECREF(r);
  Py_RETURN_NONE;
}

}  // namespace

void transportQueueFlush(TransportState* st) noexcept {
  // While a send is in flight its completion picks up the queue.
  if (st->sending || st->flush_queued || st->rt == nullptr) return;
  st->flush_queued = true;
  Py_INCREF(reinterpret_cast<PyObject*>(st->selfobj));
  st->flush_next = st->rt->flush_head;
  st->rt->flush_head = st;
}

void transportFlushAll(Runtime* rt) noexcept {
  TransportState* st = rt->flush_head;
  rt->flush_head = nullptr;
  while (st != nullptr) {
    TransportState* next = st->flush_next;  // held by its own list reference
    st->flush_next = nullptr;
    st->flush_queued = false;
    transportStartSend(st);
    Py_DECREF(reinterpret_cast<PyObject*>(st->selfobj));
    st = next;
  }
}

void transportStartSend(TransportState* st) noexcept {
  if (st->sending || st->aborting || st->out_iov.empty() || st->loop == nullptr) return;
  VORN_ASSERT(st->send_iov.empty() && st->send_pin.empty());
  if (st->tx == nullptr) {
    st->tx = static_cast<TransportSendOps*>(std::malloc(sizeof(TransportSendOps)));
    if (st->tx == nullptr) {
      PyErr_NoMemory();
      transportFatalPyErr(st);
      return;
    }
    new (st->tx) TransportSendOps{};
  }
  st->out_iov.swap(st->send_iov);
  st->out_pin.swap(st->send_pin);
  transportArmSend(st);
}

void transportArmSend(TransportState* st) noexcept {
  std::size_t count = std::min(st->send_iov.len, transport_max_send_iovecs);
  vorn::ev::SendFlags flags{};
  flags.no_signal = true;  // a closed peer yields BrokenPipe, not SIGPIPE
  st->tx->send.init(st->fd, vorn::ev::WriteBuf{std::span<const iovec>(st->send_iov.data, count)}, flags);
  st->tx->send.c.callback = transportWriteDone;
  st->tx->send.c.userdata = st;
  st->sending = true;
  Py_INCREF(reinterpret_cast<PyObject*>(st->selfobj));
  st->loop->add(&st->tx->send.c);
}

void transportConsumeSent(TransportState* st, std::size_t n) noexcept {
  PodArray<iovec>& iov = st->send_iov;
  std::size_t done = 0;
  while (done < iov.len && iov.data[done].iov_len <= n) {
    n -= iov.data[done].iov_len;
    st->buffered -= iov.data[done].iov_len;
    PyBuffer_Release(&st->send_pin.data[done]);
    ++done;
  }
  if (done < iov.len && n > 0) {
    iovAdvance(iov.data[done], n);
    st->buffered -= n;
  }
  iov.dropFront(done);
  st->send_pin.dropFront(done);
}

void transportSendWaitDone(vorn::ev::Loop*, vorn::ev::Completion* c) noexcept {
  auto* st = static_cast<TransportState*>(c->userdata);
  PyObject* self = reinterpret_cast<PyObject*>(st->selfobj);  // the wait's reference
  st->send_waiting = false;
  st->sending = false;
  if (st->aborting) {
    transportFinishAfterOp(st);
  } else if (c->err != vorn::Error::none) {
    transportFatalOsError(st, c->err, c->osErrno());
  } else {
    transportArmSend(st);
  }
  Py_DECREF(self);
}

void transportWriteDone(vorn::ev::Loop*, vorn::ev::Completion* c) noexcept {
  auto* st = static_cast<TransportState*>(c->userdata);
  PyObject* self = reinterpret_cast<PyObject*>(st->selfobj);  // the send's reference
  st->sending = false;
  auto result = st->tx->send.getResult();
  if (st->aborting) {
    // The batch stays pinned until finalization.
    transportFinishAfterOp(st);
  } else if (!result.has_value() && result.error() == vorn::Error::WouldBlock) {
    st->tx->send_wait.init(st->fd, vorn::ev::NetPoll::Event::send);
    st->tx->send_wait.c.callback = transportSendWaitDone;
    st->tx->send_wait.c.userdata = st;
    st->sending = true;
    st->send_waiting = true;
    Py_INCREF(self);
    st->loop->add(&st->tx->send_wait.c);
  } else if (!result.has_value()) {
    // Also during a graceful close: the peer did not get everything, so
    // connection_lost must not report a clean end.
    transportFatalOsError(st, result.error(), st->tx->send.osErrno());
  } else {
    transportConsumeSent(st, *result);
    if (!st->send_iov.empty()) {
      // A partial send, or a batch longer than one send may carry.
      transportArmSend(st);
    } else {
      transportMaybeResume(st);
      if (!st->out_iov.empty()) {
        transportStartSend(st);
      } else {
        if (st->eof_written && !st->closing) rawShutdownWrite(st->fd);
        if (st->closing) {
          // resume_writing above was the last chance to add to the drain.
          st->sub.write_closed = true;
          transportFinishAfterOp(st);
        }
      }
    }
  }
  Py_DECREF(self);
}

// Called from write() and set_write_buffer_limits(): pause_writing runs in
// the caller's context, as it does with asyncio's transports.
void transportMaybePause(TransportState* st) noexcept {
  if (st->protocol_paused || st->buffered <= st->high_water) return;
  st->protocol_paused = true;
  callProtoNoArgs(st, str_pause_writing);
}

// Called from a send's completion: resume_writing runs in the transport's
// context.
void transportMaybeResume(TransportState* st) noexcept {
  if (!st->protocol_paused || st->buffered > st->low_water) return;
  st->protocol_paused = false;
  ProtocolContext scope(st);
  callProtoNoArgs(st, str_resume_writing);
}

void rawShutdownWrite(std::int32_t fd) noexcept {
  while (shutdown(fd, SHUT_WR) < 0 && errno == EINTR) {
  }
}

// Other loops send at write() time, so "write an error reply, then abort"
// delivers the reply there; here it still waits for the end of the ready
// pass when the abort comes. One non-blocking sendmsg hands the kernel what
// it takes at once; the abort then drops the queue, sent part and rest alike,
// so `buffered` and the pins need no separate bookkeeping. It is a plain
// system call: nothing stays in flight on memory the abort releases, and the
// loop never waits. Not while a send is in flight: the queue would overtake
// that batch. Flow control is left as the abort leaves it (no resume_writing).
void transportSendBeforeAbort(TransportState* st) noexcept {
  if (st->sending || st->aborting || st->conn_lost_called || st->out_iov.empty()) return;
  msghdr msg{};
  msg.msg_iov = st->out_iov.data;
  msg.msg_iovlen = std::min(st->out_iov.len, transport_max_send_iovecs);
  while (sendmsg(st->fd, &msg, MSG_DONTWAIT | MSG_NOSIGNAL) < 0 && errno == EINTR) {
  }
}

// ---- Python methods -------------------------------------------------------

PyObject* transportWrite(PyObject* self, PyObject* data) noexcept {
  if (transportStateOf(self) == nullptr) Py_RETURN_NONE;
  // Pinned, not copied: the exporter keeps the memory fixed until the bytes
  // are sent or the transport drops them. Pinned before the state is read:
  // the exporter's code may write_eof, close the transport or the loop.
  Py_buffer pin;
  if (PyObject_GetBuffer(data, &pin, PyBUF_SIMPLE) < 0) return nullptr;
  TransportState* st = transportStateOf(self);
  if (st != nullptr && st->eof_written) {
    PyBuffer_Release(&pin);
    PyErr_SetString(PyExc_RuntimeError, "Cannot call write() after write_eof()");
    return nullptr;
  }
  if (st == nullptr || pin.len == 0) {
    PyBuffer_Release(&pin);
    Py_RETURN_NONE;
  }
  // A graceful close still takes writes until its drain is over (a TLS layer
  // flushes its last records and close_notify after calling close()).
  if (st->sub.write_closed || st->aborting || st->sub.finish_begun || st->conn_lost_called) {
    PyBuffer_Release(&pin);
    return transportWriteLost(st);
  }
  if (!st->out_iov.push(iovec{pin.buf, static_cast<std::size_t>(pin.len)})) {
    PyBuffer_Release(&pin);
    return PyErr_NoMemory();
  }
  if (!st->out_pin.push(pin)) {
    --st->out_iov.len;
    PyBuffer_Release(&pin);
    return PyErr_NoMemory();
  }
  st->buffered += static_cast<std::size_t>(pin.len);
  transportMaybePause(st);
  // pause_writing may have aborted the transport, which dropped the queue; a
  // close it began has started the send already.
  if (!st->aborting) transportQueueFlush(st);
  Py_RETURN_NONE;
}

PyObject* transportWritelines(PyObject* self, PyObject* seq) noexcept {
  PyObject* fast = PySequence_Fast(seq, "writelines() argument must be an iterable of bytes-like objects");
  if (fast == nullptr) return nullptr;
  // Indexed afresh each round: write may call pause_writing, whose code can
  // change a list passed in.
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(fast); ++i) {
    PyObject* item = Py_NewRef(PySequence_Fast_GET_ITEM(fast, i));
    PyObject* r = transportWrite(self, item);
    Py_DECREF(item);
    if (r == nullptr) {
      Py_DECREF(fast);
      return nullptr;
    }
    Py_DECREF(r);
  }
  Py_DECREF(fast);
  Py_RETURN_NONE;
}

PyObject* transportWriteEof(PyObject* self, PyObject*) noexcept {
  TransportState* st = transportStateOf(self);
  if (st == nullptr || st->eof_written || st->closing) Py_RETURN_NONE;
  st->eof_written = true;
  // With output pending, the send completion shuts down after the last byte.
  if (!st->sending && st->out_iov.empty()) rawShutdownWrite(st->fd);
  Py_RETURN_NONE;
}

PyObject* transportCanWriteEof(PyObject*, PyObject*) noexcept { Py_RETURN_TRUE; }

PyObject* transportGetWriteBufferSize(PyObject* self, PyObject*) noexcept {
  TransportState* st = transportStateOf(self);
  return PyLong_FromSize_t(st == nullptr ? 0 : st->buffered);
}

PyObject* transportGetWriteBufferLimits(PyObject* self, PyObject*) noexcept {
  TransportState* st = transportStateOf(self);
  if (st == nullptr) return Py_BuildValue("(ii)", 0, 0);
  return Py_BuildValue("(nn)", static_cast<Py_ssize_t>(st->low_water), static_cast<Py_ssize_t>(st->high_water));
}

PyObject* transportSetWriteBufferLimits(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) noexcept {
  // The state lives as long as the object, so the conversions below may run
  // any code (__index__ may even finish the transport): nothing read here
  // goes stale.
  TransportState* st = transportStateOf(self);
  if (st == nullptr) Py_RETURN_NONE;
  if (nargs > 2) {
    PyErr_Format(PyExc_TypeError, "set_write_buffer_limits() takes at most 2 positional arguments (%zd given)", nargs);
    return nullptr;
  }
  PyObject* high = nargs > 0 ? args[0] : Py_None;
  PyObject* low = nargs > 1 ? args[1] : Py_None;
  Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t i = 0; i < nkw; ++i) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, i);
    if (PyUnicode_EqualToUTF8(name, "high")) {
      high = args[nargs + i];
    } else if (PyUnicode_EqualToUTF8(name, "low")) {
      low = args[nargs + i];
    } else {
      PyErr_Format(PyExc_TypeError, "set_write_buffer_limits() got an unexpected keyword argument '%U'", name);
      return nullptr;
    }
  }
  long long high_v = 0;
  long long low_v = 0;
  if (high != Py_None) {
    high_v = PyLong_AsLongLong(high);
    if (high_v == -1 && PyErr_Occurred()) return nullptr;
  }
  if (low != Py_None) {
    low_v = PyLong_AsLongLong(low);
    if (low_v == -1 && PyErr_Occurred()) return nullptr;
  }
  if (high == Py_None) {
    if (low == Py_None) {
      high_v = static_cast<long long>(transport_default_high_water);
    } else if (__builtin_mul_overflow(low_v, 4LL, &high_v)) {
      // 4 * low does not fit: no buffer can reach either bound anyway.
      high_v = low_v > 0 ? LLONG_MAX : LLONG_MIN;
    }
  }
  if (low == Py_None) low_v = high_v / 4;
  if (high_v < low_v || low_v < 0) {
    PyErr_Format(PyExc_ValueError, "high (%lld) must be >= low (%lld) must be >= 0", high_v, low_v);
    return nullptr;
  }
  st->high_water = static_cast<std::size_t>(high_v);
  st->low_water = static_cast<std::size_t>(low_v);
  transportMaybePause(st);
  Py_RETURN_NONE;
}

}  // namespace ombrel
