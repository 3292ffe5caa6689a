#include "module/loop_object.hpp"

#include "module/debug_mode.hpp"
#include "module/file_ops.hpp"
#include "module/fs_ops.hpp"
#include "module/handle.hpp"
#include "module/pollers.hpp"
#include "module/runtime.hpp"
#include "module/sock_ops.hpp"
#include "module/task_factory.hpp"
#include "module/timer_handle.hpp"
#include "module/transport.hpp"
#include "module/transport_method.hpp"
#include "os/time.hpp"

namespace ombrel {

using vorn::Error;

namespace {

int loopInit(PyObject* self_obj, PyObject*, PyObject*) {
  auto* self = reinterpret_cast<LoopObject*>(self_obj);
  // A second initialisation would orphan a live runtime (its ring, its
  // threads, its queued callbacks): refuse it.
  if (self->rt != nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "Event loop is already initialized");
    return -1;
  }
  self->rt = runtimeCreate();
  return self->rt != nullptr ? 0 : -1;
}

int loopTraverse(PyObject* self_obj, visitproc visit, void* arg) {
  auto* self = reinterpret_cast<LoopObject*>(self_obj);
  Py_VISIT(Py_TYPE(self_obj));
  Py_VISIT(self->debug);
  Py_VISIT(self->task_factory);
  return 0;
}

// Only the Python-level slots: the runtime is torn down by close or dealloc.
int loopClear(PyObject* self_obj) {
  auto* self = reinterpret_cast<LoopObject*>(self_obj);
  Py_CLEAR(self->debug);
  Py_CLEAR(self->task_factory);
  return 0;
}

void loopDealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  PyObject* pending = PyErr_GetRaisedException();  // teardown must not clobber it
  closeRuntime(reinterpret_cast<LoopObject*>(self));
  PyErr_SetRaisedException(pending);
  loopClear(self);
  PyTypeObject* tp = Py_TYPE(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

// A cancelled receive, accept or streaming read still in flight when the loop
// stops would stay on this ring until the loop next runs: its hold on the file
// keeps a socket that another loop then closes from ending, and what the
// kernel gives it later would be kept behind bytes another loop has read
// since. So stopping first reaps them (their cancellation is already asked
// for: a tick or two), dispatching in order whatever else finishes meanwhile,
// as the next iteration would have; the ready queue is left for the next run.
// Bounded: at most reap_ticks_max waits of reap_wait_ns each.
constexpr int reap_ticks_max = 64;
constexpr std::uint64_t reap_wait_ns = 1'000'000;

void reapCancelledReads(Runtime* rt) noexcept {
  if (!rt->kept.reaping()) return;
  const std::uint64_t saved_wait = rt->loop.max_wait;
  rt->loop.max_wait = reap_wait_ns;
  for (int i = 0; i < reap_ticks_max && rt->kept.reaping(); ++i) {
    PyThreadState* ts = PyEval_SaveThread();
    Error err = rt->loop.tick(true);
    PyEval_RestoreThread(ts);
    if (err != Error::none) break;  // the next run reports it
    dispatchCompletions(rt);
  }
  rt->loop.max_wait = saved_wait;
}

// Every exit of run_forever: the loop is idle again and a stop request is
// spent (it never outlives the run it ended or a run an exception ended).
PyObject* runEnded(Runtime* rt, PyObject* result) noexcept {
  rt->running = rt->stopping = false;
  return result;
}

PyObject* loopRunForever(PyObject* self_obj, PyObject*) {
  auto* self = reinterpret_cast<LoopObject*>(self_obj);
  Runtime* rt = self->rt;
  if (rt == nullptr) return closedError();
  if (rt->closing) return closedError();  // run from a callback of close's drain
  if (rt->running) {
    PyErr_SetString(PyExc_RuntimeError, "This event loop is already running");
    return nullptr;
  }
  // The ring accepts one submitting thread; a loop that ran elsewhere moves
  // here when nothing of it is in flight, and refuses clearly otherwise.
  if (!rt->loop.moveToThisThread()) {
    PyErr_SetString(PyExc_RuntimeError, "This event loop has operations in flight on the thread that last ran it");
    return nullptr;
  }
  rt->running = true;
  // A stop() made while idle, or during the run, ends the run after the pass
  // in progress: stop is read after each pass, never before the first, so a
  // stop() made while idle still runs one full iteration, which then does
  // not wait.
  for (;;) {
    if (rt->pending_arms != nullptr) timerOpsArmPending(rt);
    Error err;
    if (rt->ready_head < rt->ready_len || rt->stopping) {
      err = rt->loop.tick(false);
    } else {
      transportReleaseIdleBuffers(rt);
      // The only place the interpreter lock is released: the ev loop touches
      // no Python object while it waits (callbacks are parked, not called).
      PyThreadState* ts = PyEval_SaveThread();
      err = rt->loop.tick(true);
      PyEval_RestoreThread(ts);
    }
    if (err != Error::none) {
      PyErr_SetString(PyExc_RuntimeError, "vorn.ev loop tick failed");
      return runEnded(rt, nullptr);
    }
    if (PyErr_CheckSignals() < 0) {
      transportFlushAll(rt);
      return runEnded(rt, nullptr);
    }
    dispatchCompletions(rt);
    bool completed_pass = drainReady(rt);
    transportFlushAll(rt);
    if (!completed_pass) return runEnded(rt, nullptr);
    if (rt->stopping) {
      reapCancelledReads(rt);
      return runEnded(rt, Py_NewRef(Py_None));
    }
  }
}

PyObject* loopStop(PyObject* self_obj, PyObject*) {
  Runtime* rt = runtimeOf(self_obj);
  if (rt == nullptr) return closedError();
  rt->stopping = true;
  rt->loop.wake();
  Py_RETURN_NONE;
}

PyObject* loopTime(PyObject* self_obj, PyObject*) {
  Runtime* rt = runtimeOf(self_obj);
  if (rt == nullptr) return closedError();
  // From another thread, read the clock without touching the loop's cache,
  // which the loop thread may be using in a tick.
  if (!rt->loop.onOwnerThread()) {
    return PyFloat_FromDouble(static_cast<double>(vorn::os::clockNow(CLOCK_MONOTONIC)) / 1e9);
  }
  rt->loop.state.updateNow();
  return PyFloat_FromDouble(static_cast<double>(rt->loop.state.now[0]) / 1e9);
}

PyObject* loopIsRunning(PyObject* self_obj, PyObject*) {
  Runtime* rt = runtimeOf(self_obj);
  return PyBool_FromLong(rt != nullptr && rt->running);
}

PyObject* loopIsClosed(PyObject* self_obj, PyObject*) { return PyBool_FromLong(runtimeOf(self_obj) == nullptr); }

PyObject* loopGetDebug(PyObject* self_obj, PyObject*) {
  PyObject* debug = reinterpret_cast<LoopObject*>(self_obj)->debug;
  return Py_NewRef(debug != nullptr ? debug : Py_False);
}

// `_debug` and `_task_factory` hold whatever is assigned (the package's
// set_debug stores the caller's value, as asyncio's does); deleting resets.
PyObject* loopDebugGet(PyObject* self_obj, void*) { return loopGetDebug(self_obj, nullptr); }

int loopDebugSet(PyObject* self_obj, PyObject* value, void*) {
  Py_XSETREF(reinterpret_cast<LoopObject*>(self_obj)->debug, Py_XNewRef(value));
  return 0;
}

PyObject* loopTaskFactoryGet(PyObject* self_obj, void*) {
  PyObject* factory = reinterpret_cast<LoopObject*>(self_obj)->task_factory;
  return Py_NewRef(factory != nullptr ? factory : Py_None);
}

int loopTaskFactorySet(PyObject* self_obj, PyObject* value, void*) {
  Py_XSETREF(reinterpret_cast<LoopObject*>(self_obj)->task_factory, value == Py_None ? nullptr : Py_XNewRef(value));
  return 0;
}

// What the kernel granted this loop's ring, for diagnostics: the feature
// bits and setup flags it reported, and the queue sizes.
PyObject* loopRingInfo(PyObject* self_obj, PyObject*) {
  Runtime* rt = runtimeOf(self_obj);
  if (rt == nullptr) return closedError();
  const auto& ring = rt->loop.backend.ring;
  return Py_BuildValue("{s:I,s:I,s:I,s:I}", "features", ring.features, "setup_flags", ring.setup_flags, "sq_entries",
                       ring.sq_entries, "cq_entries", ring.cq_entries);
}

PyObject* loopClose(PyObject* self_obj, PyObject*) {
  auto* self = reinterpret_cast<LoopObject*>(self_obj);
  if (self->rt != nullptr && self->rt->running) {
    PyErr_SetString(PyExc_RuntimeError, "Cannot close a running event loop");
    return nullptr;
  }
  closeRuntime(self);
  Py_RETURN_NONE;
}

#define VARKW(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))
#define FASTCALL(fn) VARKW(fn)

PyMethodDef loop_methods[] = {
    {"call_soon", VARKW(loopCallSoon), METH_FASTCALL | METH_KEYWORDS,
     "Schedule a callback to run on the next loop iteration."},
    {"call_soon_threadsafe", VARKW(loopCallSoonThreadsafe), METH_FASTCALL | METH_KEYWORDS,
     "Like call_soon, but safe to call from another thread."},
    {"call_later", VARKW(loopCallLater), METH_FASTCALL | METH_KEYWORDS, "Schedule a callback after a delay (seconds)."},
    {"call_at", VARKW(loopCallAt), METH_FASTCALL | METH_KEYWORDS, "Schedule a callback at an absolute loop time."},
    {"_timer_handle_cancelled", loopTimerHandleCancelled, METH_O, "Notify the loop that a TimerHandle was cancelled."},
    {"_sock_recv", FASTCALL(loopSockRecv), METH_FASTCALL, "_sock_recv(fd, nbytes) -> Future[bytes]"},
    {"_sock_sendall", FASTCALL(loopSockSendall), METH_FASTCALL, "_sock_sendall(fd, data) -> Future[None]"},
    {"_sock_connect", FASTCALL(loopSockConnect), METH_FASTCALL, "_sock_connect(fd, host, port) -> Future[None]"},
    {"_sock_accept", FASTCALL(loopSockAccept), METH_FASTCALL, "_sock_accept(fd) -> Future[int]"},
    {"_sock_sendfile", FASTCALL(loopSockSendfile), METH_FASTCALL,
     "_sock_sendfile(sock_fd, file_fd, offset, count) -> Future[int]"},
    {"_sock_unrecv", FASTCALL(loopSockUnrecv), METH_FASTCALL,
     "_sock_unrecv(fd, data) -> bool: data is returned first by the next receive on fd"},
    {"_sock_unaccept", FASTCALL(loopSockUnaccept), METH_FASTCALL,
     "_sock_unaccept(fd, conn) -> bool: conn is returned first by the next accept on fd (else closed)"},
    {"_sock_has_kept", FASTCALL(loopSockHasKept), METH_FASTCALL,
     "_sock_has_kept(fd) -> bool: bytes or connections of cancelled operations wait for fd"},
    {"_sock_take_kept", FASTCALL(loopSockTakeKept), METH_FASTCALL,
     "_sock_take_kept(fd) -> bytes: drops what is kept for fd (connections closed), returning its bytes"},
    {"_sock_accept_stop", FASTCALL(loopSockAcceptStop), METH_FASTCALL,
     "_sock_accept_stop(fd, fut) -> list[int]: stops accepting on fd now; the connections accepted and not handed out"},
    {"_add_poller", FASTCALL(loopAddPoller), METH_FASTCALL, "_add_poller(fd, event, callback); event 0=read 1=write"},
    {"_remove_poller", FASTCALL(loopRemovePoller), METH_FASTCALL, "_remove_poller(fd, event) -> bool"},
    {"_wait_pid", FASTCALL(loopWaitPid), METH_FASTCALL, "_wait_pid(pid) -> Future[int returncode]"},
    {"_file_open", FASTCALL(loopFileOpen), METH_FASTCALL, "_file_open(path, flags, mode) -> Future[(fd, pollable)]"},
    {"_file_close", FASTCALL(loopFileClose), METH_FASTCALL, "_file_close(fd) -> Future[None]"},
    {"_file_pread", FASTCALL(loopFilePread), METH_FASTCALL, "_file_pread(fd, size, offset) -> Future[bytes]"},
    {"_file_read", FASTCALL(loopFileRead), METH_FASTCALL, "_file_read(fd, size) -> Future[bytes]"},
    {"_file_pwrite", FASTCALL(loopFilePwrite), METH_FASTCALL, "_file_pwrite(fd, data, offset) -> Future[int]"},
    {"_file_write", FASTCALL(loopFileWrite), METH_FASTCALL, "_file_write(fd, data) -> Future[int]"},
    {"_file_fsync", FASTCALL(loopFileFsync), METH_FASTCALL, "_file_fsync(fd, datasync) -> Future[None]"},
    {"_file_truncate", FASTCALL(loopFileTruncate), METH_FASTCALL, "_file_truncate(fd, size) -> Future[None]"},
    {"_file_size", FASTCALL(loopFileSize), METH_FASTCALL, "_file_size(fd) -> Future[int]"},
    {"_fs_stat", FASTCALL(loopFsStat), METH_FASTCALL, "_fs_stat(path, follow_symlinks) -> Future[os.stat_result]"},
    {"_fs_mkdir", FASTCALL(loopFsMkdir), METH_FASTCALL, "_fs_mkdir(path, mode) -> Future[None]"},
    {"_fs_unlink", FASTCALL(loopFsUnlink), METH_FASTCALL, "_fs_unlink(path) -> Future[None]"},
    {"_fs_rmdir", FASTCALL(loopFsRmdir), METH_FASTCALL, "_fs_rmdir(path) -> Future[None]"},
    {"_fs_rename", FASTCALL(loopFsRename), METH_FASTCALL, "_fs_rename(src, dst) -> Future[None]"},
    {"_fs_symlink", FASTCALL(loopFsSymlink), METH_FASTCALL, "_fs_symlink(target, link) -> Future[None]"},
    {"_fs_link", FASTCALL(loopFsLink), METH_FASTCALL, "_fs_link(src, dst, follow_symlinks) -> Future[None]"},
    {"_fs_readlink", FASTCALL(loopFsReadlink), METH_FASTCALL, "_fs_readlink(path) -> Future[bytes]"},
    {"_fs_access", FASTCALL(loopFsAccess), METH_FASTCALL, "_fs_access(path, mode, follow_symlinks) -> Future[None]"},
    {"_fs_chmod", FASTCALL(loopFsChmod), METH_FASTCALL, "_fs_chmod(path, mode, follow_symlinks) -> Future[None]"},
    {"_fs_chown", FASTCALL(loopFsChown), METH_FASTCALL, "_fs_chown(path, uid, gid, follow_symlinks) -> Future[None]"},
    {"_fs_utime", FASTCALL(loopFsUtime), METH_FASTCALL,
     "_fs_utime(path, atime_ns, mtime_ns, follow_symlinks) -> Future[None]"},
    {"_fs_opendir", FASTCALL(loopFsOpendir), METH_FASTCALL, "_fs_opendir(path) -> Future[int]"},
    {"_fs_readdir", FASTCALL(loopFsReaddir), METH_FASTCALL,
     "_fs_readdir(fd, decode, names_only) -> Future[list | None]"},
    {"_fs_closedir", FASTCALL(loopFsClosedir), METH_FASTCALL, "_fs_closedir(fd) -> Future[None]"},
    {"_create_task", VARKW(loopCreateTask), METH_FASTCALL | METH_KEYWORDS,
     "_create_task(coro, **kwargs) -> Task: the loop's _task_factory, else asyncio Task(coro, loop=self, **kwargs)."},
    {"_create_future", loopCreateFuture, METH_NOARGS, "_create_future() -> asyncio Future(loop=self)"},
    {"_make_transport", FASTCALL(loopMakeTransport), METH_FASTCALL,
     "_make_transport(sock, protocol, extra, server) -> Transport"},
    {"_transport_method", loopTransportMethod, METH_O | METH_STATIC,
     "A method of the native Transport for the class that wraps it."},
    {"run_forever", loopRunForever, METH_NOARGS, "Run the event loop until stop() is called."},
    {"stop", loopStop, METH_NOARGS, "Stop the event loop as soon as the current iteration finishes."},
    {"time", loopTime, METH_NOARGS, "Return the current monotonic loop time as a float."},
    {"is_running", loopIsRunning, METH_NOARGS, "Return whether the loop is currently running."},
    {"is_closed", loopIsClosed, METH_NOARGS, "Return whether the loop has been closed."},
    {"get_debug", loopGetDebug, METH_NOARGS, "Return the debug mode flag."},
    {"_ring_info", loopRingInfo, METH_NOARGS,
     "_ring_info() -> dict: the ring's feature bits, setup flags and queue sizes."},
    {"_set_debug", loopSetDebug, METH_O,
     "_set_debug(enabled): switch the debug checks of call_soon, call_later, call_at and the ready pass."},
    {"close", loopClose, METH_NOARGS, "Close the loop and release the ev.Loop."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef loop_getset[] = {
    {"_debug", loopDebugGet, loopDebugSet, "The debug mode flag as set_debug stored it.", nullptr},
    {"_task_factory", loopTaskFactoryGet, loopTaskFactorySet, "The task factory create_task calls, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot loop_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_init, reinterpret_cast<void*>(loopInit)},
    {Py_tp_dealloc, reinterpret_cast<void*>(loopDealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(loopTraverse)},
    {Py_tp_clear, reinterpret_cast<void*>(loopClear)},
    {Py_tp_methods, loop_methods},
    {Py_tp_getset, loop_getset},
    {0, nullptr},
};

PyType_Spec loop_spec = {
    "_ombrel.Loop", sizeof(LoopObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, loop_slots,
};

}  // namespace

PyTypeObject* loopTypeCreate(PyObject* module) noexcept {
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &loop_spec, nullptr));
}

}  // namespace ombrel
