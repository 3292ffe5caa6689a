#include "module/runtime.hpp"

#include <cerrno>
#include <cstdlib>
#include <new>

#include "module/pollers.hpp"
#include "module/sock_future.hpp"
#include "module/timer_handle.hpp"
#include "module/transport.hpp"

namespace ombrel {

using vorn::Error;

PyObject* closedError() noexcept {
  PyErr_SetString(PyExc_RuntimeError, "Event loop is closed");
  return nullptr;
}

bool Runtime::readyAppend(PyObject* handle) noexcept {
  if (ready_len == ready_cap) {
    std::size_t cap = ready_cap == 0 ? 64 : ready_cap * 2;
    auto* grown = static_cast<PyObject**>(PyMem_RawRealloc(ready, cap * sizeof(PyObject*)));
    if (grown == nullptr) return false;
    ready = grown;
    ready_cap = cap;
  }
  ready[ready_len++] = handle;
  return true;
}

void Runtime::liveOpLink(LiveOp* op, PyObject** fut_slot) noexcept {
  op->fut_slot = fut_slot;
  op->prev = nullptr;
  op->next = live_ops;
  if (live_ops != nullptr) live_ops->prev = op;
  live_ops = op;
}

void Runtime::liveOpUnlink(LiveOp* op) noexcept {
  if (op->prev != nullptr) {
    op->prev->next = op->next;
  } else {
    live_ops = op->next;
  }
  if (op->next != nullptr) op->next->prev = op->prev;
  op->prev = op->next = nullptr;
}

namespace {

constexpr std::uint16_t ring_entries = 256;

// The error number behind a failed ring or waker setup. The backend reports
// codes; a code that stands for one number gives it, and where one code
// covers several (EINVAL and ENOSYS both mean "not supported") the number is
// read from `seen`, the errno left by the failing call (nothing on the way
// out of the failed init makes a call that fails). 0: no call failed (a ring
// feature is missing).
int loopSetupErrno(Error e, int seen) noexcept {
  switch (e) {
    case Error::PermissionDenied: return EPERM;
    case Error::ProcessFdQuotaExceeded: return EMFILE;
    case Error::SystemFdQuotaExceeded: return ENFILE;
    case Error::InvalidAddress: return EFAULT;
    case Error::OperationNotSupported: return seen == EINVAL || seen == ENOSYS ? seen : 0;
    case Error::SystemResources: return seen == EAGAIN ? EAGAIN : ENOMEM;
    default: return seen;
  }
}

// Chains an OSError for err_no, as __cause__, to the exception being raised,
// so that the package can say why io_uring is unavailable here. Its filename
// is the system call that failed (`call`, may be null): a ring that is set up
// but may not be entered is a different story from no ring at all.
void chainOsError(Error code, int err_no, const char* call) noexcept {
  PyObject* exc = PyErr_GetRaisedException();
  PyObject* filename = call != nullptr ? PyUnicode_FromString(call) : nullptr;
  PyObject* cause = call == nullptr || filename != nullptr ? makeOsError(code, err_no, filename) : nullptr;
  Py_XDECREF(filename);
  if (cause == nullptr) PyErr_Clear();
  if (cause != nullptr && PyErr_GivenExceptionMatches(cause, PyExc_OSError)) {
    PyException_SetContext(exc, Py_NewRef(cause));
    PyException_SetCause(exc, cause);  // steals; also suppresses the context
  } else {
    Py_XDECREF(cause);  // no memory for the cause: the plain error still says enough
  }
  PyErr_SetRaisedException(exc);
}

constexpr int close_spin_max = 4096;

}  // namespace

Runtime* runtimeCreate() noexcept {
  void* mem = std::malloc(sizeof(Runtime));
  if (mem == nullptr) {
    PyErr_NoMemory();
    return nullptr;
  }
  auto* rt = new (mem) Runtime{};
  rt->ready = nullptr;
  rt->ready_len = rt->ready_cap = rt->ready_head = 0;
  rt->flush_head = nullptr;
  rt->live_transports = nullptr;
  rt->running = rt->stopping = rt->closing = false;
  rt->live_timers = nullptr;
  rt->pending_arms = nullptr;
  rt->live_ops = nullptr;
  rt->polls_removed_pending = 0;

  vorn::ev::ThreadPoolOptions pool_options;
  if (vorn::ev::threadPoolDefaultOptions(&pool_options) != Error::none ||
      rt->thread_pool.init(vorn::ev::cAllocator(), pool_options) != Error::none) {
    rt->~Runtime();
    std::free(rt);
    PyErr_SetString(PyExc_RuntimeError, "failed to initialize thread pool");
    return nullptr;
  }
  // Test suites and command-line tools make a loop per test or per call: the
  // ring of the last closed loop serves the next one.
  vorn::ev::Options options{vorn::ev::cAllocator(), &rt->thread_pool, nullptr, ring_entries, true, true};
  errno = 0;  // a stale number must not pass for the setup's
  if (Error e = rt->loop.init(options); e != Error::none) {
    const int err_no = loopSetupErrno(e, errno);
    const char* call = rt->loop.backend.failed_call;  // a string literal: outlives the runtime
    rt->thread_pool.deinit();
    rt->~Runtime();
    std::free(rt);
    PyErr_SetString(PyExc_RuntimeError, "failed to initialize vorn.ev loop");
    if (err_no != 0) chainOsError(e, err_no, call);
    return nullptr;
  }
  rt->idle_keeper.init(vorn::ev::Timeout::never());
  rt->loop.add(&rt->idle_keeper.c);
  return rt;
}

void dispatchCompletions(Runtime* rt) noexcept {
  while (vorn::ev::Completion* c = rt->loop.nextDispatched()) c->call(&rt->loop);
}

// Cuts every in-flight future loose from its operation and cancels the
// operation; the record then finishes without delivering anything.
static void orphanOperations(Runtime* rt) noexcept {
  for (LiveOp* op = rt->live_ops; op != nullptr;) {
    LiveOp* next = op->next;
    PyObject* fut = *op->fut_slot;
    if (fut != nullptr) {
      vorn::ev::Completion* comp = sockExtra(fut)->comp;
      *op->fut_slot = nullptr;
      sockFutureSever(fut);
      if (comp != nullptr) rt->loop.cancel(comp);
      Py_DECREF(fut);
    }
    op = next;
  }
}

void closeRuntime(LoopObject* self) noexcept {
  Runtime* rt = self->rt;
  // A close from a callback that the close itself runs finds it in progress.
  if (rt == nullptr || rt->closing) return;
  rt->closing = true;
  // Close may come from another thread than the one that ran the loop. A
  // ring this loop never submitted on (a parked one, enabled by the thread
  // that closed its last user) moves to this thread with its prepared
  // entries, so that they can still be cancelled and their records freed.
  rt->loop.moveToThisThread();
  rt->loop.adoptOwner();

  orphanOperations(rt);
  pollersRelease(rt);
  transportAbortAll(rt);
  // Let what was cancelled come back, so that records can be freed rather
  // than left to a kernel or a worker that may still write into them.
  for (int i = 0; i < close_spin_max &&
                  (rt->live_transports != nullptr || rt->live_ops != nullptr || rt->polls_removed_pending != 0);
       ++i) {
    if (rt->loop.tick(false) != Error::none) break;
    dispatchCompletions(rt);
  }
  transportDropFlushList(rt);
  // After the drain: operations it reaped may have kept something.
  rt->kept.clear();
  rt->child_statuses.clear();
  rt->send_order.clear();

  // Closed from here on for every caller: protocol callbacks of the drain
  // above could still schedule (those handles are dropped below, unrun);
  // finalizers of what is dropped now find a closed loop.
  self->rt = nullptr;

  for (std::size_t i = rt->ready_head; i < rt->ready_len; ++i) Py_DECREF(rt->ready[i]);
  PyMem_RawFree(rt->ready);
  rt->ready = nullptr;
  rt->ready_len = rt->ready_cap = rt->ready_head = 0;

  // Armed timers would otherwise keep pointing at the freed runtime.
  timerOpsRelease(rt);
  rt->loop.clearTimer(&rt->idle_keeper);

  // Operations the drain could not finish stay allocated: the kernel or a
  // worker may still write into their records.
  while (LiveOp* op = rt->live_ops) rt->liveOpUnlink(op);

  rt->thread_pool.stop();
  rt->loop.deinit();
  rt->thread_pool.deinit();
  rt->~Runtime();
  std::free(rt);
}

}  // namespace ombrel
