#include "module/pollers.hpp"

#include <new>

#include "module/handle.hpp"
#include "module/op_common.hpp"
#include "module/runtime.hpp"
#include "os/epoll.hpp"
#include "os/fd.hpp"

namespace ombrel {

using vorn::Error;
using vorn::ev::Completion;
using vorn::ev::Loop;
using vorn::ev::PipePoll;

namespace {

struct WaitOp {
  vorn::ev::ProcessWait wait;
  PyObject* fut;
  Runtime* rt;
  LiveOp live;
};

// The registration's set goes as soon as nothing will arm a poll on it again.
void pollSetClose(PollOp* op) noexcept {
  if (op->epfd < 0) return;
  vorn::os::closeOwned(op->epfd);
  op->epfd = -1;
}

void pollOpFree(PollOp* op) noexcept {
  Py_CLEAR(op->callback);
  pollSetClose(op);
  freeRecord(op);
}

void pollDone(Loop*, Completion* c) noexcept;

void pollArm(PollOp* op) noexcept {
  op->poll.init(op->epfd, PipePoll::Event::read);
  op->poll.c.callback = pollDone;
  op->poll.c.userdata = op;
  op->rt->loop.add(&op->poll.c);
}

// Removes the registration under `key` (if any): out of the map, marked
// removed, its poll cancelled; the record is freed when that poll completes.
bool pollUnregister(Runtime* rt, std::uint64_t key) noexcept {
  auto it = rt->pollers.find(key);
  if (it == rt->pollers.end()) return false;
  PollOp* old = it->second;
  rt->pollers.erase(it);
  old->removed = true;
  ++rt->polls_removed_pending;
  // The set is closed now, not when the cancelled poll comes back: removals
  // would otherwise hold a descriptor each for as long as the ring takes.
  // The kernel keeps the set's file for a poll it holds; a poll still to be
  // submitted finds the number closed or reused and is cancelled right
  // after it, a momentary wait that is never reported.
  pollSetClose(old);
  rt->loop.cancel(&old->poll.c);
  return true;
}

void pollDone(Loop*, Completion* c) noexcept {
  auto* op = static_cast<PollOp*>(c->userdata);
  if (op->removed) {
    --op->rt->polls_removed_pending;
    pollOpFree(op);
    return;
  }
  if (c->err != Error::none) {
    // The set's own wait failed: the registration ends silently. (A watched
    // descriptor that is closed only leaves its set, which stays unready.)
    op->rt->pollers.erase(op->key);
    pollOpFree(op);
    return;
  }
  if (op->queues) {
    auto* h = reinterpret_cast<HandleObject*>(op->callback);
    if (h->cancelled) {
      // Cancelled by whoever was handed it (an exception handler's
      // context): the watch ends, as the standard loop drops a reader whose
      // handle it finds cancelled, rather than waking for nothing.
      op->rt->pollers.erase(op->key);
      pollOpFree(op);
      return;
    }
    // Re-armed now, submitted only at the next tick, after the ready pass
    // has run the handle: an undrained descriptor comes back once per
    // iteration.
    if (op->rt->readyAppend(Py_NewRef(op->callback))) {
      pollArm(op);
      return;
    }
    // The queue cannot grow: this event is lost but the watch stays; the
    // next iteration reports the descriptor again while it is ready.
    Py_DECREF(op->callback);
    PyErr_NoMemory();
    PyErr_WriteUnraisable(op->callback);
    pollArm(op);
    return;
  }
  // The callback may remove or replace its own registration, or close the
  // loop: keep the record's callback alive for the call.
  PyObject* callback = Py_NewRef(op->callback);
  PyObject* r = PyObject_CallNoArgs(callback);
  if (r == nullptr) {
    PyErr_WriteUnraisable(callback);
  } else {
    Py_DECREF(r);
  }
  Py_DECREF(callback);
  if (op->removed) {
    // Removed by its own callback: the cancel found the poll finished, so
    // no other completion will account for it.
    --op->rt->polls_removed_pending;
    pollOpFree(op);
  } else {
    pollArm(op);
  }
}

void waitDone(Loop*, Completion* c) noexcept {
  auto* op = static_cast<WaitOp*>(c->userdata);
  auto r = op->wait.getResult();
  OpOutcome outcome;
  if (!r) {
    outcome = OpOutcome::failed(*c);
  } else {
    long code = r->signal ? -static_cast<long>(*r->signal) : static_cast<long>(r->code);
    if (opAbandoned(op->fut)) {
      // The child is reaped: its status exists nowhere else any more.
      op->rt->child_statuses.keep(op->wait.handle, code);
      outcome = OpOutcome::ok();
    } else {
      outcome = okOrOom(PyLong_FromLong(code));
    }
  }
  finishSockOp(op->fut, outcome);
  endOp(op->rt, &op->live, &op->fut);
  freeRecord(op);
}

// The readiness direction: 0 is read, anything else write.
bool eventArg(const Args& args, Py_ssize_t index, bool* is_write) noexcept {
  long v;
  if (!longArg(args, index, &v)) return false;
  *is_write = v != 0;
  return true;
}

}  // namespace

// Arguments first, then the runtime (args.hpp).

PyObject* loopAddPoller(PyObject* self, PyObject* const* items, Py_ssize_t nargs) noexcept {
  if (!loopOpenForCall(self)) return nullptr;
  Args args{items, nargs, "_add_poller"};
  std::int32_t fd;
  bool is_write;
  if (!fdArg(args, 0, &fd) || !eventArg(args, 1, &is_write)) return nullptr;
  PyObject* callback = args.at(2);
  if (callback == nullptr) return nullptr;
  // With arguments and a context, the handle queued on readiness.
  PyObject* handle = nullptr;
  if (nargs >= 5) {
    PyObject* cbargs = args.at(3);
    PyObject* context = args.at(4);
    if (!PyTuple_Check(cbargs) || !PyContext_CheckExact(context)) {
      PyErr_SetString(PyExc_TypeError, "_add_poller() takes a tuple of arguments and a contextvars.Context");
      return nullptr;
    }
    handle = newHandle(callback, cbargs, self, Py_NewRef(context), 0.0);
    if (handle == nullptr) return nullptr;
    // Debug mode: where the reader was added, for its repr and reports.
    PyObject* traceback = nargs >= 6 ? items[5] : Py_None;
    if (traceback != Py_None && handleSetSourceTraceback(handle, traceback) < 0) {
      Py_DECREF(handle);
      return nullptr;
    }
    callback = handle;
  }
  Runtime* rt = openRuntime(self);
  if (rt == nullptr) {
    Py_XDECREF(handle);
    return closedError();
  }
  std::uint64_t key = pollKey(fd, is_write);
  // The descriptor's own set. The kernel may refuse the descriptor: one that
  // names nothing ends the registration silently, as a failed wait always
  // has; anything else (a regular file, which epoll cannot watch; no
  // descriptor left for the set) raises, as the standard loop's selector
  // does, and leaves a registration being replaced in place.
  int epfd, os_errno;
  Error err = vorn::os::epollCreate(&epfd, &os_errno);
  if (err == Error::none) {
    std::uint32_t events = is_write ? vorn::os::epoll_writable : vorn::os::epoll_readable;
    err = vorn::os::epollAdd(epfd, fd, events, 0, &os_errno);
    if (err != Error::none) vorn::os::closeOwned(epfd);
  }
  if (err != Error::none && err != Error::InvalidFileDescriptor) {
    if (PyObject* exc = makeOsError(err, os_errno)) PyErr_SetRaisedException(exc);
    Py_XDECREF(handle);
    return nullptr;
  }
  pollUnregister(rt, key);  // replacement: the old callback is never called again
  // A descriptor that names nothing: no watch, and a handle never queued.
  if (err != Error::none) return handle != nullptr ? handle : Py_NewRef(Py_None);
  auto* op = allocRecord<PollOp>();
  if (op == nullptr) {
    vorn::os::closeOwned(epfd);
    Py_XDECREF(handle);
    return nullptr;
  }
  op->epfd = epfd;
  try {
    rt->pollers.emplace(key, op);
  } catch (const std::bad_alloc&) {
    pollOpFree(op);
    Py_XDECREF(handle);
    return PyErr_NoMemory();
  }
  op->callback = Py_NewRef(callback);
  op->queues = handle != nullptr;
  op->rt = rt;
  op->fd = fd;
  op->event = is_write ? PipePoll::Event::write : PipePoll::Event::read;
  op->key = key;
  op->removed = false;
  pollArm(op);
  return handle != nullptr ? handle : Py_NewRef(Py_None);
}

PyObject* loopRemovePoller(PyObject* self, PyObject* const* items, Py_ssize_t nargs) noexcept {
  if (runtimeOf(self) == nullptr) Py_RETURN_FALSE;
  Args args{items, nargs, "_remove_poller"};
  std::int32_t fd;
  bool is_write;
  if (!fdArg(args, 0, &fd) || !eventArg(args, 1, &is_write)) return nullptr;
  Runtime* rt = runtimeOf(self);
  if (rt == nullptr) Py_RETURN_FALSE;
  return PyBool_FromLong(pollUnregister(rt, pollKey(fd, is_write)));
}

PyObject* loopWaitPid(PyObject* self, PyObject* const* items, Py_ssize_t nargs) noexcept {
  if (!loopOpenForCall(self)) return nullptr;
  std::int32_t pid;
  if (!fdArg(Args{items, nargs, "_wait_pid"}, 0, &pid)) return nullptr;
  PyObject* fut = newSockFuture(self);
  if (fut == nullptr) return nullptr;
  Runtime* rt = runtimeForOp(self, fut);
  if (rt == nullptr) return nullptr;
  if (long code; rt->child_statuses.take(pid, &code)) {  // reaped by a cancelled wait
    return resolvedWithKeptInt(fut, code, [&] { rt->child_statuses.keep(pid, code); });
  }
  auto* op = opRecord<WaitOp>(rt, fut);
  if (op == nullptr) return nullptr;
  op->wait.init(pid);
  startOp(rt, &op->fut, &op->live, &op->wait.c, waitDone, op);
  return fut;
}

void pollersRelease(Runtime* rt) noexcept {
  while (!rt->pollers.empty()) pollUnregister(rt, rt->pollers.begin()->first);
}

}  // namespace ombrel
