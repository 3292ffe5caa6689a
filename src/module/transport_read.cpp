// Transport reading: arming the one receive, delivering its data to plain
// and buffered protocols, and end of stream.
#include <algorithm>
#include <span>

#include "module/globals.hpp"
#include "module/recv_buffers.hpp"
#include "module/runtime.hpp"
#include "module/transport.hpp"

namespace ombrel {

namespace {

// A connection counts as idle once its receive has waited this long; the
// live transports are walked for such connections at most this often.
constexpr std::uint64_t buffer_idle_after_ns = 1'000'000'000;
constexpr std::uint64_t buffer_walk_every_ns = 500'000'000;

PyObject* callMethod1(PyObject* obj, PyObject* name, PyObject* arg) noexcept {
  PyObject* args[] = {obj, arg};
  return PyObject_VectorcallMethod(name, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// Copies `data` into a buffered protocol through get_buffer(n)/
// buffer_updated(k), as many rounds as its buffers need. Used only when the
// receive did not land in the protocol's own buffer (the protocol was
// replaced while it was in flight). False with the exception set when a
// callback failed. Stops early once the transport is closing.
bool transportFeedBuffered(TransportState* st, PyObject* proto, PyObject* data) noexcept {
  const char* src = PyBytes_AS_STRING(data);
  std::size_t left = static_cast<std::size_t>(PyBytes_GET_SIZE(data));
  while (left > 0 && !st->closing) {
    PyObject* want = PyLong_FromSize_t(left);
    if (want == nullptr) return false;
    PyObject* buf = callMethod1(proto, str_get_buffer, want);
    Py_DECREF(want);
    if (buf == nullptr) return false;
    Py_buffer view;
    int r = PyObject_GetBuffer(buf, &view, PyBUF_WRITABLE);
    Py_DECREF(buf);
    if (r < 0) return false;
    if (view.len == 0) {
      PyBuffer_Release(&view);
      PyErr_SetString(PyExc_RuntimeError, "get_buffer() returned an empty buffer");
      return false;
    }
    std::size_t k = std::min(left, static_cast<std::size_t>(view.len));
    std::memcpy(view.buf, src, k);
    PyBuffer_Release(&view);
    PyObject* count = PyLong_FromSize_t(k);
    if (count == nullptr) return false;
    PyObject* res = callMethod1(proto, str_buffer_updated, count);
    Py_DECREF(count);
    if (res == nullptr) return false;
    Py_DECREF(res);
    src += k;
    left -= k;
  }
  return true;
}

// Delivers n received bytes. `direct`: they are in the current protocol's
// own buffer. Otherwise `copied` holds them (taken from a buffer that is no
// longer pinned), or they are in recv_buf.
void transportDeliver(TransportState* st, std::size_t n, bool direct, PyObject* copied) noexcept {
  if (st->protocol == nullptr) {
    Py_XDECREF(copied);
    transportDoClose(st);
    return;
  }
  // The callback may replace or drop the protocol: keep it alive meanwhile.
  PyObject* proto = Py_NewRef(st->protocol);
  bool ok;
  if (direct) {
    PyObject* count = PyLong_FromSize_t(n);
    PyObject* res = count != nullptr ? callMethod1(proto, str_buffer_updated, count) : nullptr;
    Py_XDECREF(count);
    ok = res != nullptr;
    Py_XDECREF(res);
  } else {
    PyObject* data = copied != nullptr ? copied
                                       : PyBytes_FromStringAndSize(reinterpret_cast<const char*>(st->recv_buf.ptr),
                                                                   static_cast<Py_ssize_t>(n));
    if (data == nullptr) {
      ok = false;
    } else if (st->buffered_proto) {
      ok = transportFeedBuffered(st, proto, data);
      Py_DECREF(data);
    } else {
      PyObject* res = callMethod1(proto, str_data_received, data);
      Py_DECREF(data);
      ok = res != nullptr;
      Py_XDECREF(res);
    }
  }
  Py_DECREF(proto);
  if (!ok) {
    transportFatalPyErr(st);
    return;
  }
  // The callback may have paused, closed or already re-armed reading.
  if (!st->closing && !st->paused) transportArmRecv(st);
}

}  // namespace

void transportArmRecv(TransportState* st) noexcept {
  if (st->reading || st->paused || st->closing || st->sub.eof_received || st->loop == nullptr) return;
  iovec chosen;
  if (st->buffered_proto) {
    ProtocolContext scope(st);
    PyObject* proto = Py_NewRef(st->protocol);
    PyObject* buf = callMethod1(proto, str_get_buffer, py_neg_one);
    Py_DECREF(proto);
    if (buf == nullptr) {
      transportFatalPyErr(st);
      return;
    }
    // Pinned into a local first: get_buffer is Python code and may have
    // armed a receive of its own (through _start_reading or resume_reading),
    // whose pin lives in st->recv_pin.
    Py_buffer pin;
    int r = PyObject_GetBuffer(buf, &pin, PyBUF_WRITABLE);
    Py_DECREF(buf);
    if (r < 0) {
      transportFatalPyErr(st);
      return;
    }
    if (pin.len == 0) {
      PyBuffer_Release(&pin);
      PyErr_SetString(PyExc_RuntimeError, "get_buffer() returned an empty buffer");
      transportFatalPyErr(st);
      return;
    }
    // It may also have paused or closed. One receive at most.
    if (st->reading || st->paused || st->closing) {
      PyBuffer_Release(&pin);
      // The receive armed meanwhile fills a buffer that is no longer the one
      // get_buffer returned last: deliver its data by copy.
      if (st->reading) st->sub.recv_proto_replaced = true;
      return;
    }
    st->recv_pin = pin;
    st->recv_pinned = true;
    chosen = {st->recv_pin.buf, static_cast<std::size_t>(st->recv_pin.len)};
  } else {
    chosen = {st->recv_buf.ptr, st->recv_buf.len};
  }
  st->recv_iov = chosen;
  st->sub.recv_armed_at = st->loop->state.now[0];
  st->recv.init(st->fd, vorn::ev::ReadBuf{std::span<iovec>(&st->recv_iov, 1)}, vorn::ev::RecvFlags{});
  st->recv.c.callback = transportReadDone;
  st->recv.c.userdata = st;
  st->reading = true;
  st->sub.recv_proto_replaced = false;
  Py_INCREF(reinterpret_cast<PyObject*>(st->selfobj));
  st->loop->add(&st->recv.c);
}

void transportReadDone(vorn::ev::Loop*, vorn::ev::Completion* c) noexcept {
  auto* st = static_cast<TransportState*>(c->userdata);
  PyObject* self = reinterpret_cast<PyObject*>(st->selfobj);  // the receive's reference
  st->reading = false;
  auto result = st->recv.getResult();
  bool used_pin = st->recv_pinned;
  bool parked = st->sub.recv_parking;
  st->sub.recv_parking = false;
  if (!used_pin && result.has_value() && *result > st->sub.recv_dirty) {
    st->sub.recv_dirty = *result;
    // Keeps the loop waking for the walk that gives the pages back.
    if (st->loop != nullptr) st->loop->max_wait = buffer_walk_every_ns;
  }
  bool direct = used_pin && st->buffered_proto && !st->sub.recv_proto_replaced;
  bool copy_failed = false;
  PyObject* copied = nullptr;
  if (used_pin) {
    // The data landed in a buffer the current protocol did not hand out:
    // copy it before the pin goes, so that it is not lost.
    if (!direct && !st->closing && result.has_value() && *result > 0) {
      copied = PyBytes_FromStringAndSize(static_cast<const char*>(st->recv_pin.buf), static_cast<Py_ssize_t>(*result));
      copy_failed = copied == nullptr;
    }
    // Released before any protocol call: the protocol may reuse the buffer.
    PyBuffer_Release(&st->recv_pin);
    st->recv_pinned = false;
  }
  if (st->closing) {
    transportFinishAfterOp(st);
  } else if (parked && !result.has_value() && result.error() == vorn::Error::Canceled) {
    // Cancelled by transportReleaseIdleBuffers: nothing was received and
    // nothing writes into the buffer until the next receive is armed.
    recvBufferRelease(st->recv_buf.ptr, st->sub.recv_dirty);
    st->sub.recv_dirty = 0;
    transportArmRecv(st);
  } else if (!result.has_value()) {
    transportFatalOsError(st, result.error(), st->recv.osErrno());
  } else {
    // One entry for the delivery, the exception handler if it fails, and
    // the get_buffer of the next receive.
    ProtocolContext scope(st);
    if (copy_failed) {
      transportFatalPyErr(st);
    } else if (*result > 0) {
      transportDeliver(st, *result, direct, copied);
    } else {
      transportEof(st);
    }
  }
  Py_DECREF(self);
}

void transportReleaseIdleBuffers(Runtime* rt) noexcept {
  const std::uint64_t now = rt->loop.state.now[0];
  // Before the walk's own pace: the frees of a burst may come just after a
  // walk, and the loop must then still wake for the quiet second to pass.
  const bool trim_due = recvBuffersIdle(now);
  if (now < rt->next_buffer_walk) {
    if (trim_due) rt->loop.max_wait = buffer_walk_every_ns;
    return;
  }
  rt->next_buffer_walk = now + buffer_walk_every_ns;
  bool younger = false;  // a written buffer whose receive is not idle long enough yet
  for (TransportState* st = rt->live_transports; st != nullptr; st = st->live_next) {
    if (!st->reading || st->recv_pinned || st->sub.recv_parking || st->sub.recv_dirty == 0 || st->closing) continue;
    if (now - st->sub.recv_armed_at < buffer_idle_after_ns) {
      younger = true;
      continue;
    }
    st->sub.recv_parking = true;
    st->loop->cancel(&st->recv.c);
  }
  // An idle loop would otherwise sleep through the walk that gives those
  // pages back.
  rt->loop.max_wait = younger || trim_due ? buffer_walk_every_ns : vorn::ev::default_max_wait_ns;
}

void transportEof(TransportState* st) noexcept {
  st->sub.eof_received = true;
  if (st->protocol == nullptr) {
    transportDoClose(st);
    return;
  }
  PyObject* proto = Py_NewRef(st->protocol);
  PyObject* res = PyObject_CallMethodNoArgs(proto, str_eof_received);
  Py_DECREF(proto);
  if (res == nullptr) {
    transportFatalPyErr(st);
    return;
  }
  int keep_open = PyObject_IsTrue(res);
  Py_DECREF(res);
  if (keep_open < 0) {
    // The result's __bool__ raised: a failed protocol callback like any other.
    transportFatalPyErr(st);
    return;
  }
  // True keeps the write side open (half-close); nothing more is received.
  if (keep_open == 1 || st->closing) return;
  transportDoClose(st);
}

}  // namespace ombrel
