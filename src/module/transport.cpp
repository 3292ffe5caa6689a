// _ombrel.Transport: the type, construction, the live list, garbage
// collection, and the methods that are not about writing.
#include "module/transport.hpp"

#include <climits>
#include <new>

#include "module/args.hpp"
#include "module/globals.hpp"
#include "module/recv_buffers.hpp"
#include "module/runtime.hpp"

namespace ombrel {

// ---- live list ------------------------------------------------------------

void transportLink(TransportState* st) noexcept {
  Runtime* rt = st->rt;
  st->live_prev = nullptr;
  st->live_next = rt->live_transports;
  if (rt->live_transports != nullptr) rt->live_transports->live_prev = st;
  rt->live_transports = st;
}

void transportUnlink(TransportState* st) noexcept {
  // A transport cut off a torn-down runtime is on no list any more.
  if (st->rt == nullptr) return;
  if (st->live_prev != nullptr) {
    st->live_prev->live_next = st->live_next;
  } else if (st->rt->live_transports == st) {
    st->rt->live_transports = st->live_next;
  }
  if (st->live_next != nullptr) st->live_next->live_prev = st->live_prev;
  st->live_prev = st->live_next = nullptr;
}

void transportDetectBuffered(TransportState* st) noexcept {
  st->buffered_proto = false;
  if (st->protocol == nullptr) return;
  // isinstance may run the protocol's code (a __class__ property), which
  // may set another protocol: the answer is kept only for the one asked.
  PyObject* proto = Py_NewRef(st->protocol);
  int r = PyObject_IsInstance(proto, buffered_protocol_type);
  if (r < 0) PyErr_Clear();  // an error counts as a plain protocol
  if (st->protocol == proto) st->buffered_proto = r == 1;
  Py_DECREF(proto);
}

// ---- run-loop hooks -------------------------------------------------------

namespace {

bool transportLinked(const TransportState* st, const Runtime* rt) noexcept {
  return st->rt == rt && (st->live_prev != nullptr || rt->live_transports == st);
}

}  // namespace

void transportAbortAll(Runtime* rt) noexcept {
  // Aborting an idle transport finalizes it at once (connection_lost runs),
  // and that code may finalize or drop other transports. The walk therefore
  // holds a reference on the entry it acts on and on its successor; when the
  // successor left the list meanwhile the position is lost and the walk
  // starts again from the head, skipping what is already aborting. (A
  // finalized transport whose descriptor close is in flight stays listed.)
  TransportState* st = rt->live_transports;
  PyObject* hold = st != nullptr ? Py_NewRef(reinterpret_cast<PyObject*>(st->selfobj)) : nullptr;
  while (st != nullptr) {
    TransportState* next = st->live_next;
    PyObject* next_hold = next != nullptr ? Py_NewRef(reinterpret_cast<PyObject*>(next->selfobj)) : nullptr;
    if (!st->conn_lost_called && !st->fd_closing && !st->aborting) transportForceAbort(st);
    Py_DECREF(hold);
    if (next != nullptr && !transportLinked(next, rt)) {
      Py_DECREF(next_hold);
      next = rt->live_transports;
      next_hold = next != nullptr ? Py_NewRef(reinterpret_cast<PyObject*>(next->selfobj)) : nullptr;
    }
    st = next;
    hold = next_hold;
  }
}

void transportDropFlushList(Runtime* rt) noexcept {
  TransportState* st = rt->flush_head;
  rt->flush_head = nullptr;
  while (st != nullptr) {
    TransportState* next = st->flush_next;
    st->flush_next = nullptr;
    st->flush_queued = false;
    Py_DECREF(reinterpret_cast<PyObject*>(st->selfobj));
    st = next;
  }
  // Whatever the close drain could not finish (the tick failed, for example
  // when the loop is closed from another thread than the one that ran it)
  // still has an operation in the ring that will never be delivered. Cut it
  // off the runtime that is about to be freed and finish it here: the socket
  // object is closed and connection_lost runs, like for every other
  // transport. What the stuck operations may still touch (the state, the
  // receive buffer, pinned data in flight) is never freed: their references
  // to the object are never given back.
  while ((st = rt->live_transports) != nullptr) {
    PyObject* self = Py_NewRef(reinterpret_cast<PyObject*>(st->selfobj));
    transportUnlink(st);
    st->rt = nullptr;
    st->loop = nullptr;
    st->closing = st->aborting = true;
    // Without a runtime the finish only calls close(); the stuck operations
    // (the descriptor close among them) are not waited for.
    if (!st->sub.finish_begun) transportBeginFinish(st);
    transportFinalize(st);
    Py_DECREF(self);
  }
}

namespace {

// ---- construction ---------------------------------------------------------

// The descriptor behind a socket object: its fileno() as a C int. A value
// outside 0..INT_MAX is refused rather than truncated: a truncated number
// names some other descriptor, which the transport would read, write and
// finally close.
bool sockFdFromPy(PyObject* sock, std::int32_t* out) noexcept {
  PyObject* r = PyObject_CallMethodNoArgs(sock, str_fileno);
  if (r == nullptr) return false;
  long long v = PyLong_AsLongLong(r);
  Py_DECREF(r);
  if (v == -1 && PyErr_Occurred()) return false;
  if (v < 0 || v > INT_MAX) {
    PyErr_Format(PyExc_ValueError, "invalid file descriptor: %lld", v);
    return false;
  }
  *out = static_cast<std::int32_t>(v);
  return true;
}

// Frees what a state owns besides the Python references (dealloc and failed
// construction).
void transportFreeStorage(TransportState* st) noexcept {
  recvBufferPut(st->recv_buf.ptr, st->sub.recv_dirty);
  st->recv_buf = {};
  transportReleasePins(st->out_pin);
  transportReleasePins(st->send_pin);
  st->out_iov.freeStorage();
  st->out_pin.freeStorage();
  st->send_iov.freeStorage();
  st->send_pin.freeStorage();
  std::free(st->tx);
  st->tx = nullptr;
}

// ---- GC and deallocation --------------------------------------------------

int transportTraverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  TransportState* st = transportStateOf(self);
  if (st == nullptr) return 0;
  Py_VISIT(st->protocol);
  Py_VISIT(st->sockobj);
  Py_VISIT(st->extra);
  Py_VISIT(st->server);
  Py_VISIT(st->loop_obj);
  Py_VISIT(st->context);
  return 0;
}

int transportClear(PyObject* self) {
  TransportState* st = transportStateOf(self);
  if (st == nullptr) return 0;
  Py_CLEAR(st->protocol);
  Py_CLEAR(st->sockobj);
  Py_CLEAR(st->extra);
  Py_CLEAR(st->server);
  Py_CLEAR(st->loop_obj);
  Py_CLEAR(st->context);
  st->buffered_proto = false;  // there is no protocol to ask for buffers
  return 0;
}

void transportDealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  TransportState* st = transportStateOf(self);
  if (st != nullptr) {
    // Nothing is in flight (each operation holds a reference) and the flush
    // list holds one too, so only the live list can still point here.
    if (!st->conn_lost_called) transportUnlink(st);
    Py_CLEAR(st->protocol);
    Py_CLEAR(st->sockobj);
    Py_CLEAR(st->extra);
    Py_CLEAR(st->server);
    Py_CLEAR(st->loop_obj);
    Py_CLEAR(st->context);
    Py_CLEAR(st->close_exc);
    transportFreeStorage(st);
    st->~TransportState();
    std::free(st);
    reinterpret_cast<TransportObject*>(self)->st = nullptr;
  }
  PyTypeObject* tp = Py_TYPE(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

// ---- methods --------------------------------------------------------------

PyObject* transportClose(PyObject* self, PyObject*) {
  if (TransportState* st = transportStateOf(self); st != nullptr) transportDoClose(st);
  Py_RETURN_NONE;
}

// abort() and _force_close() (how a TLS layer aborts) first hand the kernel
// what was written and not yet sent, as far as it takes it without waiting.
PyObject* transportAbort(PyObject* self, PyObject*) {
  if (TransportState* st = transportStateOf(self); st != nullptr) {
    transportSendBeforeAbort(st);
    transportForceAbort(st);
  }
  Py_RETURN_NONE;
}

PyObject* transportForceClose(PyObject* self, PyObject* exc) {
  TransportState* st = transportStateOf(self);
  if (st == nullptr) Py_RETURN_NONE;
  if (exc != Py_None && st->close_exc == nullptr) st->close_exc = Py_NewRef(exc);
  transportSendBeforeAbort(st);
  transportForceAbort(st);
  Py_RETURN_NONE;
}

PyObject* transportIsClosing(PyObject* self, PyObject*) {
  TransportState* st = transportStateOf(self);
  return PyBool_FromLong(st == nullptr || st->closing);
}

PyObject* transportIsReading(PyObject* self, PyObject*) {
  TransportState* st = transportStateOf(self);
  return PyBool_FromLong(st != nullptr && !st->paused && !st->closing);
}

PyObject* transportPauseReading(PyObject* self, PyObject*) {
  // An in-flight receive is not cancelled: its data is still delivered.
  if (TransportState* st = transportStateOf(self); st != nullptr) st->paused = true;
  Py_RETURN_NONE;
}

PyObject* transportResumeReading(PyObject* self, PyObject*) {
  TransportState* st = transportStateOf(self);
  if (st != nullptr && st->paused) {
    st->paused = false;
    transportArmRecv(st);
  }
  Py_RETURN_NONE;
}

PyObject* transportStartReading(PyObject* self, PyObject*) {
  if (TransportState* st = transportStateOf(self); st != nullptr) transportArmRecv(st);
  Py_RETURN_NONE;
}

PyObject* transportGetExtraInfo(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  TransportState* st = transportStateOf(self);
  if (st == nullptr) Py_RETURN_NONE;
  if (nargs < 1 || nargs > 2) {
    PyErr_Format(PyExc_TypeError, "get_extra_info() takes 1 or 2 positional arguments (%zd given)", nargs);
    return nullptr;
  }
  PyObject* dflt = nargs == 2 ? args[1] : Py_None;
  if (st->extra == nullptr) return Py_NewRef(dflt);
  // The key's __hash__ and __eq__ run during the lookup and may finish the
  // transport, which drops its reference to the dict: hold one.
  PyObject* extra = Py_NewRef(st->extra);
  PyObject* value;
  int r = PyDict_GetItemRef(extra, args[0], &value);
  Py_DECREF(extra);
  if (r < 0) return nullptr;
  return r == 0 ? Py_NewRef(dflt) : value;
}

PyObject* transportGetProtocol(PyObject* self, PyObject*) {
  TransportState* st = transportStateOf(self);
  if (st == nullptr || st->protocol == nullptr) Py_RETURN_NONE;
  return Py_NewRef(st->protocol);
}

PyObject* transportSetProtocol(PyObject* self, PyObject* protocol) {
  TransportState* st = transportStateOf(self);
  if (st == nullptr) Py_RETURN_NONE;
  PyObject* old = st->protocol;
  st->protocol = Py_NewRef(protocol);
  transportDetectBuffered(st);
  if (st->reading) st->sub.recv_proto_replaced = true;
  // Last: dropping the old protocol may run code that uses the transport.
  Py_XDECREF(old);
  Py_RETURN_NONE;
}

#define FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

PyMethodDef transport_methods[] = {
    {"close", transportClose, METH_NOARGS, "Close the transport after sending the queued data."},
    {"abort", transportAbort, METH_NOARGS,
     "Close the transport at once; queued data the kernel does not take at once is dropped."},
    {"_force_close", transportForceClose, METH_O, "Abort, reporting exc to connection_lost."},
    {"is_closing", transportIsClosing, METH_NOARGS, "Return True if the transport is closing or closed."},
    {"is_reading", transportIsReading, METH_NOARGS, "Return True if the transport is receiving."},
    {"pause_reading", transportPauseReading, METH_NOARGS, "Stop delivering received data."},
    {"resume_reading", transportResumeReading, METH_NOARGS, "Resume delivering received data."},
    {"_start_reading", transportStartReading, METH_NOARGS, "Start receiving (after connection_made)."},
    {"get_extra_info", FASTCALL(transportGetExtraInfo), METH_FASTCALL, "Get optional transport information."},
    {"get_protocol", transportGetProtocol, METH_NOARGS, "Return the current protocol."},
    {"set_protocol", transportSetProtocol, METH_O, "Set a new protocol."},
    {"write", transportWrite, METH_O, "Queue a bytes-like object for sending."},
    {"writelines", transportWritelines, METH_O, "Queue every bytes-like object of an iterable."},
    {"write_eof", transportWriteEof, METH_NOARGS, "Shut down the write side after the queued data."},
    {"can_write_eof", transportCanWriteEof, METH_NOARGS, "Return True: write_eof is supported."},
    {"get_write_buffer_size", transportGetWriteBufferSize, METH_NOARGS,
     "Return the number of bytes queued and not yet sent."},
    {"get_write_buffer_limits", transportGetWriteBufferLimits, METH_NOARGS,
     "Return the tuple (low, high) of the write water marks."},
    {"set_write_buffer_limits", FASTCALL(transportSetWriteBufferLimits), METH_FASTCALL | METH_KEYWORDS,
     "Set the high and low water marks for write flow control."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot transport_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(transportDealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(transportTraverse)},
    {Py_tp_clear, reinterpret_cast<void*>(transportClear)},
    {Py_tp_methods, transport_methods},
    {0, nullptr},
};

PyType_Spec transport_spec = {
    "_ombrel.Transport", sizeof(TransportObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, transport_slots,
};

}  // namespace

PyTypeObject* transportTypeCreate(PyObject* module, PyObject* bases) noexcept {
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &transport_spec, bases));
}

PyObject* loopMakeTransport(PyObject* self, PyObject* const* items, Py_ssize_t nargs) noexcept {
  if (openRuntime(self) == nullptr) return closedError();
  Args args{items, nargs, "_make_transport"};
  PyObject* sock = args.at(0);
  PyObject* protocol = sock != nullptr ? args.at(1) : nullptr;
  PyObject* extra = protocol != nullptr ? args.at(2) : nullptr;
  PyObject* server = extra != nullptr ? args.at(3) : nullptr;
  if (server == nullptr) return nullptr;
  std::int32_t fd;
  if (!sockFdFromPy(sock, &fd)) return nullptr;
  // get_extra_info reads it as a dict.
  if (!PyDict_Check(extra)) {
    PyErr_Format(PyExc_TypeError, "extra must be a dict, not %.200s", Py_TYPE(extra)->tp_name);
    return nullptr;
  }
  // Read after fileno(), which is Python code that may have closed the loop.
  Runtime* rt = openRuntime(self);
  if (rt == nullptr) return closedError();

  // The protocol callbacks run in the context of the code that makes the
  // transport (a connecting task, a server's accept of this connection).
  PyObject* context = PyContext_CopyCurrent();
  if (context == nullptr) return nullptr;
  PyObject* obj = PyType_GenericAlloc(transport_type, 0);
  if (obj == nullptr) {
    Py_DECREF(context);
    return nullptr;
  }
  void* mem = std::malloc(sizeof(TransportState));
  std::size_t recv_dirty = 0;
  std::byte* recv_buf = recvBufferTake(&recv_dirty);
  if (mem == nullptr || recv_buf == nullptr) {
    std::free(mem);
    recvBufferPut(recv_buf, recv_dirty);
    Py_DECREF(obj);
    Py_DECREF(context);
    return PyErr_NoMemory();
  }
  auto* st = new (mem) TransportState{};  // every field zero, null or false
  st->rt = rt;
  st->loop = &rt->loop;
  st->protocol = Py_NewRef(protocol);
  st->context = context;
  st->sockobj = Py_NewRef(sock);
  st->extra = Py_NewRef(extra);
  st->server = server == Py_None ? nullptr : Py_NewRef(server);
  st->loop_obj = Py_NewRef(self);
  st->recv_buf = {recv_buf, transport_recv_buf_size};
  st->sub.recv_dirty = recv_dirty;
  st->fd = fd;
  st->selfobj = reinterpret_cast<TransportObject*>(obj);
  st->high_water = transport_default_high_water;
  st->low_water = transport_default_low_water;
  reinterpret_cast<TransportObject*>(obj)->st = st;
  transportLink(st);
  transportDetectBuffered(st);
  return obj;
}

}  // namespace ombrel
