#include "module/pollers.hpp"

#include <pthread.h>

#include <atomic>
#include <new>

#include "module/loop_object.hpp"
#include "module/op_common.hpp"
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

// Ready registrations taken per harvest; more wait for the next one (the
// re-armed poll completes at once while the set is still ready).
constexpr int harvest_max = 64;

// Forks this process has gone through (counted in the child). A set made
// before a fork is shared with the parent: a child that changed it would
// change what the parent watches. Written only by the child handler, which
// runs before any other thread of the child exists; relaxed suffices.
std::atomic<std::uint32_t> forks_seen{0};

void countFork() noexcept { forks_seen.fetch_add(1, std::memory_order_relaxed); }

std::uint32_t forkGeneration() noexcept {
  static const bool counting = ::pthread_atfork(nullptr, nullptr, countFork) == 0;
  (void)counting;  // without the handler a child cannot tell; it is as before
  return forks_seen.load(std::memory_order_relaxed);
}

// What the set watches fd for: the directions registered in the map.
std::uint32_t wantedEvents(const Runtime* rt, std::int32_t fd) noexcept {
  std::uint32_t events = 0;
  if (rt->pollers.contains(pollKey(fd, false))) events |= vorn::os::epoll_readable;
  if (rt->pollers.contains(pollKey(fd, true))) events |= vorn::os::epoll_writable;
  return events;
}

std::uint64_t fdData(std::int32_t fd) noexcept { return static_cast<std::uint32_t>(fd); }

// Makes fd's entry in the set ask for `events` (none: out of the set). The
// number may now name another file than when it was added (the old one was
// closed, which dropped its entry): a modify finds no entry then, and adds.
Error setWatch(ReadinessSet* set, std::int32_t fd, std::uint32_t events, int* os_errno) noexcept {
  if (events == 0) return vorn::os::epollRemove(set->epfd, fd, os_errno);
  Error err = vorn::os::epollModify(set->epfd, fd, events, fdData(fd), os_errno);
  if (err == Error::FileNotFound) err = vorn::os::epollAdd(set->epfd, fd, events, fdData(fd), os_errno);
  return err;
}

void readinessDone(Loop*, Completion* c) noexcept;

void readinessArm(ReadinessSet* set) noexcept {
  if (set->armed) return;
  set->poll.init(set->epfd, PipePoll::Event::read);
  set->poll.c.callback = readinessDone;
  set->poll.c.userdata = set;
  set->armed = true;
  set->rt->loop.add(&set->poll.c);
}

void readinessFree(ReadinessSet* set) noexcept {
  vorn::os::closeOwned(set->epfd);
  freeRecord(set);
}

// Lets go of a set inherited across a fork: the child closes its copy of the
// descriptor and never touches the set again. The record stays allocated:
// the inherited ring may still name it.
void dropInheritedSet(Runtime* rt) noexcept {
  ReadinessSet* set = rt->readiness;
  if (set == nullptr || set->fork_generation == forkGeneration()) return;
  rt->readiness = nullptr;
  vorn::os::closeOnce(set->epfd);
}

// The runtime's set, made on first use (a child's new set takes over the
// registrations inherited with the map); null with OSError set when the
// kernel refuses one.
ReadinessSet* readinessSet(Runtime* rt) noexcept {
  dropInheritedSet(rt);
  if (rt->readiness != nullptr) return rt->readiness;
  int epfd, os_errno;
  if (Error err = vorn::os::epollCreate(&epfd, &os_errno); err != Error::none) {
    if (PyObject* exc = makeOsError(err, os_errno)) PyErr_SetRaisedException(exc);
    return nullptr;
  }
  auto* set = allocRecord<ReadinessSet>();
  if (set == nullptr) {
    vorn::os::closeOwned(epfd);
    return nullptr;
  }
  set->rt = rt;
  set->epfd = epfd;
  set->fork_generation = forkGeneration();
  rt->readiness = set;
  for (const auto& [key, op] : rt->pollers) {
    auto fd = static_cast<std::int32_t>(key / 2);
    int ignored;
    setWatch(set, fd, wantedEvents(rt, fd), &ignored);  // a descriptor gone since is no loss
  }
  return set;
}

// Calls the registration under key, if there still is one.
void callPoller(Runtime* rt, std::uint64_t key) noexcept {
  auto it = rt->pollers.find(key);
  if (it == rt->pollers.end()) return;
  // The callback may remove or replace its registration (freeing the record):
  // it is kept alive for the call.
  PyObject* callback = Py_NewRef(it->second->callback);
  PyObject* r = PyObject_CallNoArgs(callback);
  if (r == nullptr) {
    PyErr_WriteUnraisable(callback);
  } else {
    Py_DECREF(r);
  }
  Py_DECREF(callback);
}

void readinessDone(Loop*, Completion* c) noexcept {
  auto* set = static_cast<ReadinessSet*>(c->userdata);
  set->armed = false;
  if (set->released) {
    --set->rt->polls_removed_pending;
    readinessFree(set);
    return;
  }
  Runtime* rt = set->rt;
  if (rt->readiness != set) return;  // inherited across a fork: not ours to run
  // A failed poll of the set itself is left unarmed: the next registration
  // arms it again.
  if (c->err != Error::none) return;
  epoll_event events[harvest_max];
  int count, os_errno;
  if (vorn::os::epollHarvest(set->epfd, events, harvest_max, &count, &os_errno) != Error::none) return;
  set->harvesting = true;
  for (int i = 0; i < count; ++i) {
    auto fd = static_cast<std::int32_t>(events[i].data.u64);
    std::uint32_t got = events[i].events;
    // As the selector reads it: an error or hang-up wakes both directions.
    if (got & ~vorn::os::epoll_writable) callPoller(rt, pollKey(fd, false));
    if (set->released) break;
    if (got & ~vorn::os::epoll_readable) callPoller(rt, pollKey(fd, true));
    if (set->released) break;
  }
  set->harvesting = false;
  if (set->released) {
    // A callback closed the loop (the runtime may be gone): the set is freed
    // here unless a poll re-armed by a callback is still to come back.
    if (!set->armed) readinessFree(set);
    return;
  }
  if (!rt->pollers.empty()) readinessArm(set);
}

// Removes the registration under key (if any) and updates the set.
bool pollUnregister(Runtime* rt, std::int32_t fd, bool is_write) noexcept {
  auto it = rt->pollers.find(pollKey(fd, is_write));
  if (it == rt->pollers.end()) return false;
  PollOp* op = it->second;
  rt->pollers.erase(it);
  dropInheritedSet(rt);
  if (ReadinessSet* set = rt->readiness) {
    int ignored;
    setWatch(set, fd, wantedEvents(rt, fd), &ignored);  // a closed fd has left the set already
  }
  // Last: dropping the callback can run any code, the map is consistent.
  Py_CLEAR(op->callback);
  freeRecord(op);
  return true;
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
      op->rt->kept.keepStatus(op->wait.handle, code);
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
  Runtime* rt = openRuntime(self);
  if (rt == nullptr) return closedError();
  ReadinessSet* set = readinessSet(rt);
  if (set == nullptr) return nullptr;
  std::uint64_t key = pollKey(fd, is_write);
  PyObject* replaced = nullptr;
  if (auto it = rt->pollers.find(key); it != rt->pollers.end()) {
    // Replacement: the old callback is never called again.
    replaced = it->second->callback;
    it->second->callback = Py_NewRef(callback);
  } else {
    auto* op = allocRecord<PollOp>();
    if (op == nullptr) return nullptr;
    try {
      rt->pollers.emplace(key, op);
    } catch (const std::bad_alloc&) {
      freeRecord(op);
      return PyErr_NoMemory();
    }
    op->callback = Py_NewRef(callback);
    // The kernel may refuse the descriptor: the registration is not made. A
    // descriptor that names nothing ends it silently, as a failed wait always
    // has; anything else (a regular file, which epoll cannot watch; the
    // watch limit) raises, as the standard loop's selector does.
    int os_errno;
    if (Error err = setWatch(set, fd, wantedEvents(rt, fd), &os_errno); err != Error::none) {
      rt->pollers.erase(key);
      Py_DECREF(op->callback);  // the caller's reference remains: no code runs
      freeRecord(op);
      if (err == Error::InvalidFileDescriptor) Py_RETURN_NONE;
      if (PyObject* exc = makeOsError(err, os_errno)) PyErr_SetRaisedException(exc);
      return nullptr;
    }
  }
  readinessArm(set);
  // Last: dropping the old callback can run any code.
  Py_XDECREF(replaced);
  Py_RETURN_NONE;
}

PyObject* loopRemovePoller(PyObject* self, PyObject* const* items, Py_ssize_t nargs) noexcept {
  if (reinterpret_cast<LoopObject*>(self)->rt == nullptr) Py_RETURN_FALSE;
  Args args{items, nargs, "_remove_poller"};
  std::int32_t fd;
  bool is_write;
  if (!fdArg(args, 0, &fd) || !eventArg(args, 1, &is_write)) return nullptr;
  Runtime* rt = reinterpret_cast<LoopObject*>(self)->rt;
  if (rt == nullptr) Py_RETURN_FALSE;
  return PyBool_FromLong(pollUnregister(rt, fd, is_write));
}

PyObject* loopWaitPid(PyObject* self, PyObject* const* items, Py_ssize_t nargs) noexcept {
  if (!loopOpenForCall(self)) return nullptr;
  std::int32_t pid;
  if (!fdArg(Args{items, nargs, "_wait_pid"}, 0, &pid)) return nullptr;
  PyObject* fut = newSockFuture(self);
  if (fut == nullptr) return nullptr;
  Runtime* rt = runtimeForOp(self, fut);
  if (rt == nullptr) return nullptr;
  if (long code; rt->kept.takeStatus(pid, &code)) {  // reaped by a cancelled wait
    PyObject* value = PyLong_FromLong(code);
    if (value == nullptr) {
      rt->kept.keepStatus(pid, code);
      Py_DECREF(fut);
      return nullptr;
    }
    futureSetResult(fut, value);
    Py_DECREF(value);
    return fut;
  }
  auto* op = allocRecord<WaitOp>();
  if (op == nullptr) {
    Py_DECREF(fut);
    return nullptr;
  }
  op->fut = Py_NewRef(fut);
  op->rt = rt;
  op->wait.init(pid);
  startOp(rt, &op->fut, &op->live, &op->wait.c, waitDone, op);
  return fut;
}

void pollersRelease(Runtime* rt) noexcept {
  // Closing the set's descriptor empties it: no entry is taken out one by one.
  while (!rt->pollers.empty()) {
    PollOp* op = rt->pollers.begin()->second;
    rt->pollers.erase(rt->pollers.begin());
    Py_CLEAR(op->callback);
    freeRecord(op);
  }
  dropInheritedSet(rt);
  ReadinessSet* set = rt->readiness;
  if (set == nullptr) return;
  rt->readiness = nullptr;
  if (set->armed) {
    set->released = true;
    ++rt->polls_removed_pending;
    rt->loop.cancel(&set->poll.c);
  } else if (set->harvesting) {
    set->released = true;  // closed from a callback: the harvest frees it
  } else {
    readinessFree(set);
  }
}

}  // namespace ombrel
