#include "module/sock_ops.hpp"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "ev/ops.hpp"
#include "ev/send_file.hpp"
#include "module/globals.hpp"
#include "module/op_common.hpp"
#include "module/runtime.hpp"
#include "net/address.hpp"
#include "os/fd.hpp"
#include "os/net.hpp"

namespace ombrel {

using vorn::Error;
using vorn::ev::Completion;
using vorn::ev::Loop;

namespace {

constexpr std::size_t sendfile_buffer_size = 131072;

struct RecvOp {
  vorn::ev::NetRecv recv;
  PyObject* fut;
  Runtime* rt;
  iovec iov;
  char* buf;
  std::size_t buf_len;
  LiveOp live;
};

struct SendOp {
  vorn::ev::NetSend send;
  PyObject* fut;
  Runtime* rt;
  Py_buffer view;  // the caller's data, pinned until the record is freed
  std::size_t offset;
  iovec iov;
  std::int32_t fd;
  LiveOp live;
  // Waits for writability when the kernel answers a send with WouldBlock
  // (it does for a non-blocking socket whose peer shut down its side).
  vorn::ev::NetPoll wait;
  // Its place in the descriptor's line (send_order.hpp). Until it heads the
  // line it is not on the ring and its future has no comp, so a cancel
  // cancels the future at once and none of its bytes are ever sent.
  SendTurn turn;
};

struct ConnectOp {
  vorn::ev::NetConnect connect;
  PyObject* fut;
  Runtime* rt;
  sockaddr_storage addr;
  LiveOp live;
};

struct AcceptOp {
  vorn::ev::NetAccept accept;
  PyObject* fut;
  Runtime* rt;
  LiveOp live;
};

struct SendFileOp {
  vorn::ev::NetSendFile sendfile;
  PyObject* fut;
  Runtime* rt;
  std::uint8_t* bufs[2];
  // The caller's list whose item 0 gets the bytes sent, whatever the
  // outcome (strong, may be null): a failure or a cancellation says nothing
  // of what went out before it, and the caller moves the file position.
  PyObject* sent_sink;
  LiveOp live;
};

// --- recv ---------------------------------------------------------------

void recvDone(Loop*, Completion* c) noexcept {
  auto* op = static_cast<RecvOp*>(c->userdata);
  auto r = op->recv.getResult();
  FileId from;
  bool noted = op->rt->kept.takeNote(c, &from);
  OpOutcome outcome;
  if (!r) {
    outcome = OpOutcome::failed(*c);
  } else if (opAbandoned(op->fut)) {
    // The bytes have left the socket: the next receive on it takes them.
    op->rt->kept.keepBytes(op->recv.handle, op->buf, *r, false, noted ? &from : nullptr);
    outcome = OpOutcome::ok();
  } else {
    outcome = okOrOom(op->rt->kept.deliver(op->recv.handle, op->buf, *r, op->buf_len));
  }
  finishSockOp(op->fut, outcome);
  endOp(op->rt, &op->live, &op->fut);
  std::free(op->buf);
  freeRecord(op);
}

// --- sendall ------------------------------------------------------------

void sendDone(Loop*, Completion* c) noexcept;

void sendWaitDone(Loop*, Completion* c) noexcept;

void sendArm(SendOp* op) noexcept {
  if (op->fut != nullptr) sockExtra(op->fut)->comp = &op->send.c;
  op->iov.iov_base = static_cast<char*>(op->view.buf) + op->offset;
  op->iov.iov_len = static_cast<std::size_t>(op->view.len) - op->offset;
  op->send.init(op->fd, vorn::ev::WriteBuf{std::span<const iovec>(&op->iov, 1)}, vorn::ev::SendFlags{true, 0});
  op->send.c.callback = sendDone;
  op->send.c.userdata = op;
  op->rt->loop.add(&op->send.c);
}

// Frees a record that headed its descriptor's line and starts the next one
// still wanted.
void sendFinish(SendOp* op) noexcept {
  Runtime* rt = op->rt;
  std::int32_t fd = op->fd;
  for (;;) {
    SendTurn* next = rt->send_order.dequeue(fd);
    endOp(rt, &op->live, &op->fut);
    PyBuffer_Release(&op->view);
    freeRecord(op);
    if (next == nullptr) return;
    op = vorn::ev::containerOf<SendOp>(next, offsetof(SendOp, turn));
    if (op->fut != nullptr && !futureCancelled(op->fut)) {
      sendArm(op);
      return;
    }
    // Cancelled while waiting for its turn, or orphaned by close.
  }
}

void sendDone(Loop*, Completion* c) noexcept {
  auto* op = static_cast<SendOp*>(c->userdata);
  OpOutcome outcome;
  auto r = op->send.getResult();
  if (opAbandoned(op->fut)) {
    outcome = OpOutcome::ok();  // reaped as cancelled; unsent bytes are abandoned
  } else if (!r && r.error() == Error::WouldBlock) {
    op->wait.init(op->fd, vorn::ev::NetPoll::Event::send);
    op->wait.c.callback = sendWaitDone;
    op->wait.c.userdata = op;
    sockExtra(op->fut)->comp = &op->wait.c;  // a cancel must find what is in flight
    op->rt->loop.add(&op->wait.c);
    outcome = OpOutcome::pending();
  } else if (!r) {
    outcome = OpOutcome::failed(*c);
  } else {
    op->offset += *r;
    if (op->offset < static_cast<std::size_t>(op->view.len) && *r > 0) {
      sendArm(op);  // the future's comp still points at this record
      outcome = OpOutcome::pending();
    } else if (op->offset < static_cast<std::size_t>(op->view.len)) {
      // No progress with bytes left: re-arming would spin forever.
      outcome = OpOutcome::error(Error::BrokenPipe, EPIPE);
    } else {
      outcome = OpOutcome::ok();
    }
  }
  if (finishSockOp(op->fut, outcome)) sendFinish(op);
}

void sendWaitDone(Loop*, Completion* c) noexcept {
  auto* op = static_cast<SendOp*>(c->userdata);
  OpOutcome outcome;
  if (opAbandoned(op->fut)) {
    outcome = OpOutcome::ok();
  } else if (c->err != Error::none) {
    outcome = OpOutcome::failed(*c);
  } else {
    sendArm(op);
    outcome = OpOutcome::pending();
  }
  if (finishSockOp(op->fut, outcome)) sendFinish(op);
}

// --- connect ------------------------------------------------------------

void connectDone(Loop*, Completion* c) noexcept {
  auto* op = static_cast<ConnectOp*>(c->userdata);
  finishSockOp(op->fut, c->err != Error::none ? OpOutcome::failed(*c) : OpOutcome::ok());
  endOp(op->rt, &op->live, &op->fut);
  freeRecord(op);
}

// --- accept -------------------------------------------------------------

void acceptDone(Loop*, Completion* c) noexcept {
  auto* op = static_cast<AcceptOp*>(c->userdata);
  auto r = op->accept.getResult();
  FileId from;
  bool noted = op->rt->kept.takeNote(c, &from);
  OpOutcome outcome;
  if (!r) {
    outcome = OpOutcome::failed(*c);
  } else if (opAbandoned(op->fut)) {
    // The client believes it is connected: the next accept on this
    // listener takes the connection.
    if (!op->rt->kept.keepConn(op->accept.handle, *r, false, noted ? &from : nullptr)) vorn::os::closeOwned(*r);
    outcome = OpOutcome::ok();
  } else {
    PyObject* fd = PyLong_FromLong(*r);
    if (fd == nullptr) {
      PyErr_Clear();
      vorn::os::closeOwned(*r);
      outcome = OpOutcome::error(Error::OutOfMemory, ENOMEM);
    } else {
      outcome = OpOutcome::ok(fd);
    }
  }
  finishSockOp(op->fut, outcome);
  endOp(op->rt, &op->live, &op->fut);
  freeRecord(op);
}

// --- sendfile -----------------------------------------------------------

void sendfileDone(Loop*, Completion* c) noexcept {
  auto* op = static_cast<SendFileOp*>(c->userdata);
  auto r = op->sendfile.getResult();
  if (op->sent_sink != nullptr) {
    // Before the future is resolved: whoever resumes on it reads the sink.
    PyObject* total = PyLong_FromSize_t(op->sendfile.internal.total);
    if (total == nullptr || PySequence_SetItem(op->sent_sink, 0, total) < 0) PyErr_WriteUnraisable(op->sent_sink);
    Py_XDECREF(total);
    Py_CLEAR(op->sent_sink);
  }
  OpOutcome outcome = r ? okOrOom(PyLong_FromSize_t(*r)) : OpOutcome::failed(*c);
  finishSockOp(op->fut, outcome);
  endOp(op->rt, &op->live, &op->fut);
  std::free(op->bufs[0]);
  std::free(op->bufs[1]);
  freeRecord(op);
}

}  // namespace

// Each method converts its arguments first, makes its future, and only then
// reads the runtime (args.hpp): both steps run Python code that may close
// the loop.

PyObject* loopSockRecv(PyObject* self, PyObject* const* items, Py_ssize_t nargs) noexcept {
  if (!loopOpenForCall(self)) return nullptr;
  Args args{items, nargs, "_sock_recv"};
  std::int32_t fd;
  Py_ssize_t nbytes;
  if (!fdArg(args, 0, &fd) || !sizeArg(args, 1, &nbytes)) return nullptr;
  PyObject* fut = newSockFuture(self);
  if (fut == nullptr) return nullptr;
  Runtime* rt = runtimeForOp(self, fut);
  if (rt == nullptr) return nullptr;
  if (nbytes <= 0) return resolvedNow(fut, PyBytes_FromStringAndSize(nullptr, 0));
  if (answeredFromKept(rt, fd, static_cast<std::size_t>(nbytes), &fut)) return fut;
  char* buf;
  auto* op = allocReadRecord<RecvOp>(static_cast<std::size_t>(nbytes), &buf, fut);
  if (op == nullptr) return nullptr;
  op->buf = buf;
  op->buf_len = static_cast<std::size_t>(nbytes);
  op->iov = iovec{buf, op->buf_len};
  op->fut = Py_NewRef(fut);
  op->rt = rt;
  op->recv.init(fd, vorn::ev::ReadBuf{std::span<iovec>(&op->iov, 1)}, vorn::ev::RecvFlags{});
  startOp(rt, &op->fut, &op->live, &op->recv.c, recvDone, op);
  return fut;
}

PyObject* loopSockSendall(PyObject* self, PyObject* const* items, Py_ssize_t nargs) noexcept {
  if (!loopOpenForCall(self)) return nullptr;
  Args args{items, nargs, "_sock_sendall"};
  std::int32_t fd;
  Py_buffer view;
  if (!fdArg(args, 0, &fd) || !bufferArg(args, 1, &view)) return nullptr;
  PyObject* fut = newSockFuture(self);
  if (fut == nullptr) {
    PyBuffer_Release(&view);
    return nullptr;
  }
  Runtime* rt = runtimeForOp(self, fut);
  if (rt == nullptr) {
    PyBuffer_Release(&view);
    return nullptr;
  }
  auto len = static_cast<std::size_t>(view.len);
  std::size_t sent = 0;
  // What the kernel takes at once is sent now, without a ring round trip
  // and without making the caller wait, unless earlier sends on this
  // descriptor are still in line: their bytes go first.
  if (len > 0 && !rt->send_order.sending(fd)) {
    int os_errno;
    if (Error e = vorn::os::sendNow(fd, view.buf, len, &sent, &os_errno); e != Error::none && e != Error::WouldBlock) {
      futureSetError(fut, e, os_errno);
      PyBuffer_Release(&view);
      return fut;
    }
  }
  if (sent == len) {
    futureSetResult(fut, Py_None);
    PyBuffer_Release(&view);
    return fut;
  }
  auto* op = allocRecord<SendOp>();
  bool first;
  if (op == nullptr || !rt->send_order.enqueue(fd, &op->turn, &first)) {
    if (op != nullptr) freeRecord(op);
    PyBuffer_Release(&view);
    Py_DECREF(fut);
    return PyErr_NoMemory();
  }
  op->view = view;  // the record owns the pin from here on
  op->fut = Py_NewRef(fut);
  op->rt = rt;
  op->fd = fd;
  op->offset = sent;
  rt->liveOpLink(&op->live, &op->fut);
  if (first) sendArm(op);
  return fut;
}

PyObject* loopSockConnect(PyObject* self, PyObject* const* items, Py_ssize_t nargs) noexcept {
  if (!loopOpenForCall(self)) return nullptr;
  Args args{items, nargs, "_sock_connect"};
  std::int32_t fd;
  const char* host;
  Py_ssize_t host_len;
  long port;
  if (!fdArg(args, 0, &fd) || !utf8Arg(args, 1, &host, &host_len) || !longArg(args, 2, &port)) return nullptr;
  if (port < 0 || port > 65535) {
    PyErr_SetString(PyExc_ValueError, "port out of range");
    return nullptr;
  }
  sockaddr_storage addr;
  socklen_t len = vorn::net::parseNumericAddress(std::string_view(host, static_cast<std::size_t>(host_len)),
                                                 static_cast<std::uint16_t>(port), &addr);
  if (len == 0) {
    PyErr_SetString(PyExc_ValueError, "sock_connect requires a numeric address");
    return nullptr;
  }
  PyObject* fut = newSockFuture(self);
  if (fut == nullptr) return nullptr;
  Runtime* rt = runtimeForOp(self, fut);
  if (rt == nullptr) return nullptr;
  auto* op = opRecord<ConnectOp>(rt, fut);
  if (op == nullptr) return nullptr;
  std::memcpy(&op->addr, &addr, sizeof addr);
  op->connect.init(fd, reinterpret_cast<sockaddr*>(&op->addr), len);
  startOp(rt, &op->fut, &op->live, &op->connect.c, connectDone, op);
  return fut;
}

PyObject* loopSockAccept(PyObject* self, PyObject* const* items, Py_ssize_t nargs) noexcept {
  if (!loopOpenForCall(self)) return nullptr;
  Args args{items, nargs, "_sock_accept"};
  std::int32_t fd;
  if (!fdArg(args, 0, &fd)) return nullptr;
  PyObject* fut = newSockFuture(self);
  if (fut == nullptr) return nullptr;
  Runtime* rt = runtimeForOp(self, fut);
  if (rt == nullptr) return nullptr;
  if (int conn = rt->kept.takeConn(fd); conn >= 0) {  // answered without the kernel
    return resolvedWithKeptInt(fut, conn, [&] {
      if (!rt->kept.keepConn(fd, conn, true)) vorn::os::closeOwned(conn);
    });
  }
  auto* op = opRecord<AcceptOp>(rt, fut);
  if (op == nullptr) return nullptr;
  op->accept.init(fd, nullptr, nullptr, vorn::ev::OpenFlags{true, true});
  startOp(rt, &op->fut, &op->live, &op->accept.c, acceptDone, op);
  return fut;
}

PyObject* loopSockSendfile(PyObject* self, PyObject* const* items, Py_ssize_t nargs) noexcept {
  if (!loopOpenForCall(self)) return nullptr;
  Args args{items, nargs, "_sock_sendfile"};
  std::int32_t sock_fd, file_fd;
  std::uint64_t offset;
  long long count;
  if (!fdArg(args, 0, &sock_fd) || !fdArg(args, 1, &file_fd) || !offsetArg(args, 2, &offset) ||
      !longLongArg(args, 3, &count)) {
    return nullptr;
  }
  std::size_t to_send = count >= 0 ? static_cast<std::size_t>(count) : SIZE_MAX;
  PyObject* sink = nargs > 4 ? items[4] : Py_None;
  if (sink != Py_None && !PyList_Check(sink)) {
    PyErr_SetString(PyExc_TypeError, "_sock_sendfile: sent must be a list");
    return nullptr;
  }
  // The count is stored into sent[0] at the end; refused now rather than
  // reported as unraisable then.
  if (sink != Py_None && PyList_GET_SIZE(sink) == 0) {
    PyErr_SetString(PyExc_ValueError, "_sock_sendfile: sent must hold one item");
    return nullptr;
  }

  PyObject* fut = newSockFuture(self);
  if (fut == nullptr) return nullptr;
  Runtime* rt = runtimeForOp(self, fut);
  if (rt == nullptr) return nullptr;
  auto* op = allocRecord<SendFileOp>();
  if (op != nullptr) {
    op->bufs[0] = static_cast<std::uint8_t*>(std::malloc(sendfile_buffer_size));
    op->bufs[1] = static_cast<std::uint8_t*>(std::malloc(sendfile_buffer_size));
  }
  if (op == nullptr || op->bufs[0] == nullptr || op->bufs[1] == nullptr) {
    if (op != nullptr) {
      std::free(op->bufs[0]);
      std::free(op->bufs[1]);
      freeRecord(op);
    }
    Py_DECREF(fut);
    return PyErr_NoMemory();
  }
  op->fut = Py_NewRef(fut);
  op->rt = rt;
  op->sent_sink = sink != Py_None ? Py_NewRef(sink) : nullptr;
  op->sendfile.init(sock_fd, file_fd, offset, to_send, std::span(op->bufs[0], sendfile_buffer_size),
                    std::span(op->bufs[1], sendfile_buffer_size));
  startOp(rt, &op->fut, &op->live, &op->sendfile.c, sendfileDone, op);
  return fut;
}

PyObject* loopSockUnrecv(PyObject* self, PyObject* const* items, Py_ssize_t nargs) noexcept {
  Args args{items, nargs, "_sock_unrecv"};
  std::int32_t fd;
  if (!fdArg(args, 0, &fd) || args.at(1) == nullptr) return nullptr;
  if (openRuntime(self) == nullptr) Py_RETURN_FALSE;  // nothing outlives a closed loop
  Py_buffer view;
  if (!bufferArg(args, 1, &view)) return nullptr;
  Runtime* rt = openRuntime(self);  // the exporter may have closed the loop
  bool kept = rt != nullptr &&
              rt->kept.keepBytes(fd, static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len), true);
  PyBuffer_Release(&view);  // last: the exporter's release may run Python code
  return PyBool_FromLong(kept);
}

PyObject* loopSockUnaccept(PyObject* self, PyObject* const* items, Py_ssize_t nargs) noexcept {
  Args args{items, nargs, "_sock_unaccept"};
  std::int32_t listener, conn;
  if (!fdArg(args, 0, &listener) || !fdArg(args, 1, &conn)) return nullptr;
  Runtime* rt = openRuntime(self);
  if (rt == nullptr || !rt->kept.keepConn(listener, conn, true)) {
    vorn::os::closeOnce(conn);  // the connection is ours from the call on (if it names one)
    Py_RETURN_FALSE;
  }
  Py_RETURN_TRUE;
}

PyObject* loopSockAcceptStop(PyObject* self, PyObject* const* items, Py_ssize_t nargs) noexcept {
  Args args{items, nargs, "_sock_accept_stop"};
  std::int32_t listener;
  if (!fdArg(args, 0, &listener)) return nullptr;
  PyObject* fut = args.at(1);
  if (fut == nullptr) return nullptr;
  if (fut != Py_None && !PyObject_TypeCheck(fut, sockfuture_type)) {
    PyErr_SetString(PyExc_TypeError, "_sock_accept_stop: fut must be a SockFuture or None");
    return nullptr;
  }
  PyObject* conns = PyList_New(0);
  if (conns == nullptr) return nullptr;
  Runtime* rt = openRuntime(self);
  if (rt == nullptr) return conns;  // a closed loop has nothing in flight and keeps nothing
  Completion* c = fut != Py_None ? sockExtra(fut)->comp : nullptr;
  if (c != nullptr) {
    if (c->op != vorn::ev::Op::net_accept || c->loop != &rt->loop ||
        vorn::ev::containerOf<vorn::ev::NetAccept>(c)->handle != listener) {
      Py_DECREF(conns);
      PyErr_SetString(PyExc_ValueError, "_sock_accept_stop: fut is not this loop's accept on fd");
      return nullptr;
    }
    SockExtra* extra = sockExtra(fut);
    if (!extra->cancel_requested) {
      extra->cancel_requested = true;
      rt->kept.noteCancel(c);
    }
    // Reaped now, while the listener is open: acceptDone keeps what the
    // kernel accepted first for it, and fut ends cancelled. Cancelling fut
    // schedules its callbacks through the loop object's call_soon, which a
    // subclass may define: the loop counts as running meanwhile, so that
    // such code cannot close it (or run it) under the record acceptDone is
    // finishing.
    const bool was_running = rt->running;
    rt->running = true;
    if (rt->loop.cancelSync(c)) c->call(&rt->loop);
    rt->running = was_running;
  }
  for (int conn; (conn = rt->kept.takeConn(listener)) >= 0;) {
    PyObject* value = PyLong_FromLong(conn);
    if (value == nullptr || PyList_Append(conns, value) < 0) {
      // Nobody can be handed these: closed rather than leaked.
      Py_XDECREF(value);
      vorn::os::closeOwned(conn);
      for (Py_ssize_t i = 0; i < PyList_GET_SIZE(conns); ++i) {
        vorn::os::closeOwned(static_cast<int>(PyLong_AsLong(PyList_GET_ITEM(conns, i))));
      }
      Py_XDECREF(rt->kept.release(listener));
      Py_DECREF(conns);
      return PyErr_NoMemory();
    }
    Py_DECREF(value);
  }
  return conns;
}

PyObject* loopSockHasKept(PyObject* self, PyObject* const* items, Py_ssize_t nargs) noexcept {
  std::int32_t fd;
  if (!fdArg(Args{items, nargs, "_sock_has_kept"}, 0, &fd)) return nullptr;
  Runtime* rt = openRuntime(self);
  return PyBool_FromLong(rt != nullptr && rt->kept.has(fd));
}

PyObject* loopSockTakeKept(PyObject* self, PyObject* const* items, Py_ssize_t nargs) noexcept {
  std::int32_t fd;
  if (!fdArg(Args{items, nargs, "_sock_take_kept"}, 0, &fd)) return nullptr;
  Runtime* rt = openRuntime(self);
  if (rt == nullptr) return PyBytes_FromStringAndSize(nullptr, 0);
  return rt->kept.release(fd);
}

}  // namespace ombrel
