// _ombrel.Transport: the stream transport over a connected socket.
//
// The transport never polls for readiness: it keeps at most one receive and
// one send on the ev loop and reacts to their completions. Reading delivers to
// plain protocols (data_received, from an owned 64 KiB buffer) and to
// asyncio.BufferedProtocol instances (get_buffer/buffer_updated, received in
// place). Writing pins the caller's objects, queues them, and the run loop
// starts one vectored send per transport after each ready pass. Closing sends
// what is queued and what is written until the queue has drained, closes the
// descriptor through the loop (after the socket object's detach()) and calls
// connection_lost exactly once.
//
// Ownership: a TransportObject owns its TransportState (a separate heap block,
// so the embedded operation records never move). `selfobj` is borrowed, but
// every operation in flight (receive, send, descriptor close) and membership
// of the runtime's flush list each hold one strong reference to the object:
// a transport with anything in flight is never deallocated or collected.
//
// Thread rules: everything here runs on the loop's thread with the interpreter
// lock held (Python method calls, and completion callbacks from the run
// loop's dispatch step or the close drain). There are no locks. Protocol
// callbacks may re-enter the transport; every step re-checks the flags after
// calling out.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "ev/ops_net.hpp"
#include "os/error.hpp"

namespace ombrel {

struct Runtime;
struct TransportState;

struct TransportObject {
  PyObject_HEAD
  TransportState* st;  // null: behaves as a closed transport
};

// A growable array of plain records (iovec, Py_buffer) on the C allocator.
// Zero-initialised it is empty; emptying keeps the capacity, so the send path
// reuses storage instead of allocating. Records are moved bytewise.
template <class T>
struct PodArray {
  T* data;
  std::size_t len;
  std::size_t cap;

  bool empty() const noexcept { return len == 0; }
  // False when the storage cannot grow; the array is then unchanged.
  bool push(const T& value) noexcept {
    if (len == cap) {
      std::size_t new_cap = cap == 0 ? 16 : cap * 2;
      void* grown = std::realloc(data, new_cap * sizeof(T));
      if (grown == nullptr) return false;
      data = static_cast<T*>(grown);
      cap = new_cap;
    }
    data[len++] = value;
    return true;
  }
  // Removes the first n entries, moving the rest forward.
  void dropFront(std::size_t n) noexcept {
    if (n == 0) return;
    std::memmove(data, data + n, (len - n) * sizeof(T));
    len -= n;
  }
  void freeStorage() noexcept {
    std::free(data);
    data = nullptr;
    len = cap = 0;
  }
  void swap(PodArray& other) noexcept {
    PodArray tmp = *this;
    *this = other;
    other = tmp;
  }
};

struct ByteBuf {
  std::byte* ptr;
  std::size_t len;
};

inline constexpr std::size_t transport_recv_buf_size = 65536;
inline constexpr std::size_t transport_default_high_water = 65536;
inline constexpr std::size_t transport_default_low_water = 16384;
inline constexpr std::size_t transport_max_send_iovecs = 1024;  // IOV_MAX

// The records of the write side, made by the first send: a connection that
// never writes does not carry them. Freed with the state, or left to the
// kernel like the batch when the loop closes with a send in flight.
struct TransportSendOps {
  vorn::ev::NetSend send;
  // Waits for writability when the kernel answers a send with WouldBlock
  // (a non-blocking socket whose peer shut down its side); `sending` stays
  // set meanwhile and send_waiting says which of the two is in flight.
  vorn::ev::NetPoll send_wait;
};

// A transport's states beyond those of TransportState's own fields: the
// steps of a close and the receive buffer's bookkeeping. Zero-initialised
// with the state. The values they may take together, with TransportState's
// flags:
// - finish_begun and write_closed each imply `closing` and are never
//   cleared; `conn_lost_called` follows finish_begun (at once when the loop's
//   close tears the transport down).
// - lost_writes counts only while writes are dropped: write_closed,
//   `aborting`, finish_begun or `conn_lost_called`.
// - eof_received is never cleared; no receive is armed after it, so
//   `reading` stays false from then on.
// - recv_parking is set only while `reading`, for a receive into recv_buf
//   (not `recv_pinned`) of a transport not closing then; its completion
//   clears it. recv_proto_replaced is set only while `reading` and cleared
//   when the next receive is armed; recv_armed_at is that receive's arming
//   time and is read only while `reading`.
// - recv_dirty is meaningful while recv_buf is held: it goes back to the
//   pool with it.
struct TransportSubstate {
  // The finish sequence (detach, descriptor close, finalize) has begun: it
  // calls into Python and must not start twice from a re-entrant call.
  bool finish_begun;
  // A graceful close has nothing left to send (close() found the queue empty
  // and no send in flight, or the last send of the drain completed): from
  // now on writes are dropped as on a lost connection. Until then writes
  // made while closing are queued and go out before the descriptor closes.
  bool write_closed;
  // The peer's end of stream was delivered (and the transport kept open):
  // nothing more is received, whatever pause/resume or _start_reading say.
  bool eof_received;
  // set_protocol ran while a receive was in flight: the data it brings may
  // sit in the previous protocol's buffer and is copied to the new one.
  bool recv_proto_replaced;
  // The receive in flight into recv_buf is being cancelled by
  // transportReleaseIdleBuffers; its Canceled result gives the pages back
  // and arms the next receive instead of failing the connection.
  bool recv_parking;
  // Writes dropped since the connection was lost; from the fifth on each
  // one logs a warning, as asyncio's transports do.
  std::uint32_t lost_writes;
  // How far into recv_buf receives wrote since its pages were last given
  // back: those pages are resident.
  std::size_t recv_dirty;
  // When the receive in flight was armed (the loop's monotonic clock, ns).
  std::uint64_t recv_armed_at;
};

struct TransportState {
  PodArray<Py_buffer> out_pin;  // pins of queued data not yet handed to a send
  PodArray<iovec> send_iov;     // the batch of the send in flight
  Runtime* rt;                  // the owner; null once finalized with nothing in flight
  PyObject* protocol;           // owned, nullable
  // Owned, nullable: a copy of the context current when the transport was
  // made. Every protocol callback the transport starts by itself (receives,
  // end of stream, resume_writing, connection_lost) runs in it, as asyncio's
  // transports run them; one object for the whole connection, so what a
  // callback sets is seen by the next. Dropped at finalization.
  PyObject* context;
  PyObject* sockobj;             // owned, nullable: the socket the descriptor came from
  PodArray<Py_buffer> send_pin;  // pins of the batch in flight
  PyObject* server;              // owned, nullable (None is stored as null)
  PyObject* loop_obj;            // owned, nullable: the Loop object that made it
  TransportState* live_prev;
  vorn::ev::NetRecv recv;
  iovec recv_iov;
  ByteBuf recv_buf;  // plain protocols receive here; from the pool in recv_buffers.hpp
  TransportState* live_next;
  PyObject* close_exc;  // owned, nullable: what connection_lost receives
  TransportState* flush_next;
  Py_buffer recv_pin;    // get_buffer's buffer while a buffered receive is in flight
  TransportSendOps* tx;  // owned; made by the first send, null until then
  bool send_waiting;
  PodArray<iovec> out_iov;   // queued data, entry i describes out_pin[i]
  vorn::ev::Loop* loop;      // the loop inside rt; null together with rt
  TransportObject* selfobj;  // borrowed
  PyObject* extra;           // owned dict
  std::size_t buffered;      // bytes written and not yet sent (both pairs)
  std::size_t high_water;
  std::size_t low_water;
  std::int32_t fd;
  bool sending;
  bool recv_pinned;
  bool flush_queued;
  bool buffered_proto;
  bool reading;
  bool paused;
  bool closing;   // close or abort began; never cleared
  bool aborting;  // in-flight operations are cancelled; implies closing
  bool eof_written;
  bool protocol_paused;
  bool conn_lost_called;  // finalized; never cleared
  bool fd_closing;        // the descriptor's close operation is in flight
  // What the transport tracks beyond the fields above.
  TransportSubstate sub;
};

// Enters a transport's context for the protocol callbacks of one event and
// leaves it at the end of the scope. Nothing is entered when that context is
// the current one already (a callback re-entered the transport, say
// resume_reading calling get_buffer) or is entered further up the stack,
// where it cannot be entered twice: the callback then runs in the current
// context. Holds its own reference, since a callback may finalize the
// transport, which drops the state's.
class ProtocolContext {
 public:
  explicit ProtocolContext(const TransportState* st) noexcept : ctx_(st->context) {
    if (ctx_ == nullptr || PyThreadState_GET()->context == ctx_) {
      ctx_ = nullptr;
      return;
    }
    Py_INCREF(ctx_);
    if (PyContext_Enter(ctx_) < 0) {
      PyErr_Clear();
      Py_CLEAR(ctx_);
    }
  }
  ~ProtocolContext() {
    if (ctx_ == nullptr) return;
    PyObject* pending = PyErr_GetRaisedException();
    if (PyContext_Exit(ctx_) < 0) PyErr_Clear();  // cannot fail: entered above
    PyErr_SetRaisedException(pending);
    Py_DECREF(ctx_);
  }
  ProtocolContext(const ProtocolContext&) = delete;
  ProtocolContext& operator=(const ProtocolContext&) = delete;

 private:
  PyObject* ctx_;
};

// One descriptor close through the loop; freed by netCloseDone.
struct NetCloseOp {
  vorn::ev::NetClose close;
  TransportState* st;
};

// The type; `bases` may be null.
PyTypeObject* transportTypeCreate(PyObject* module, PyObject* bases) noexcept;

// Loop._make_transport(sock, protocol, extra, server) -> Transport.
PyObject* loopMakeTransport(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;

// Run loop: starts the sends of every transport on the flush list (after each
// ready pass, and before run_forever returns for a signal).
void transportFlushAll(Runtime* rt) noexcept;
// Run loop, before a tick that may wait: gives back the written pages of the
// receive buffers of connections that have received nothing for a while, so
// that an idle connection holds no resident buffer memory whatever it
// received before. Pages are given back only while no receive is in flight
// on them: the idle receive is cancelled first and armed again once its
// cancellation is reaped. Runs its walk at most every half second.
void transportReleaseIdleBuffers(Runtime* rt) noexcept;
// Loop close: aborts every live transport that is not finished or closing its
// descriptor already.
void transportAbortAll(Runtime* rt) noexcept;
// Loop close, after the drain: empties the flush list without sending, then
// cuts every transport the drain could not finish off the runtime that is
// about to be freed and finishes it without the loop.
void transportDropFlushList(Runtime* rt) noexcept;

// Internal operations shared by the transport's source files. All take the
// state and run on the loop thread with the interpreter lock held; none
// leaves a Python exception set.

// Live list of the runtime.
void transportLink(TransportState* st) noexcept;
void transportUnlink(TransportState* st) noexcept;
void transportDetectBuffered(TransportState* st) noexcept;

// Reading (transport_read.cpp).
void transportArmRecv(TransportState* st) noexcept;
void transportReadDone(vorn::ev::Loop* loop, vorn::ev::Completion* c) noexcept;
void transportEof(TransportState* st) noexcept;

// Closing (transport_close.cpp).
void transportDoClose(TransportState* st) noexcept;
void transportForceAbort(TransportState* st) noexcept;
void transportAbortInflight(TransportState* st) noexcept;
// `os_errno`: the kernel's number behind `err`, 0 when there is none.
void transportFatalOsError(TransportState* st, vorn::Error err, std::uint16_t os_errno) noexcept;
PyObject* transportMakeError(vorn::Error err, std::uint16_t os_errno) noexcept;
void transportFatalPyErr(TransportState* st) noexcept;
void transportReportFatal(TransportState* st, PyObject* exc, const char* message, bool report) noexcept;
void transportFinishIfIdle(TransportState* st) noexcept;
// From the completion of the closing transport's own receive or send.
void transportFinishAfterOp(TransportState* st) noexcept;
void transportBeginFinish(TransportState* st) noexcept;
void netCloseDone(vorn::ev::Loop* loop, vorn::ev::Completion* c) noexcept;
void transportFinalize(TransportState* st) noexcept;
// Off the live list and the runtime, once nothing of the transport is in
// flight any more.
void transportReleaseRuntime(TransportState* st) noexcept;
// Releases every pin of a pair and empties it; `buffered` is not touched.
void transportReleasePins(PodArray<Py_buffer>& pins) noexcept;

// Writing (transport_write.cpp).
void transportQueueFlush(TransportState* st) noexcept;
void transportStartSend(TransportState* st) noexcept;
void transportArmSend(TransportState* st) noexcept;
void transportWriteDone(vorn::ev::Loop* loop, vorn::ev::Completion* c) noexcept;
void transportConsumeSent(TransportState* st, std::size_t n) noexcept;
void transportMaybePause(TransportState* st) noexcept;
void transportMaybeResume(TransportState* st) noexcept;
void rawShutdownWrite(std::int32_t fd) noexcept;
// Before an abort the caller asked for: one non-blocking send of the queued
// data when no send is in flight (see transport_write.cpp).
void transportSendBeforeAbort(TransportState* st) noexcept;

// Python methods of the write side (the method table is in transport.cpp).
PyObject* transportWrite(PyObject* self, PyObject* data) noexcept;
PyObject* transportWritelines(PyObject* self, PyObject* seq) noexcept;
PyObject* transportWriteEof(PyObject* self, PyObject*) noexcept;
PyObject* transportCanWriteEof(PyObject* self, PyObject*) noexcept;
PyObject* transportGetWriteBufferSize(PyObject* self, PyObject*) noexcept;
PyObject* transportGetWriteBufferLimits(PyObject* self, PyObject*) noexcept;
PyObject* transportSetWriteBufferLimits(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) noexcept;

inline TransportState* transportStateOf(PyObject* self) noexcept {
  return reinterpret_cast<TransportObject*>(self)->st;
}

}  // namespace ombrel
