#include "module/handle.hpp"

#include <cstring>

#include "module/globals.hpp"
#include "module/loop_object.hpp"
#include "module/timer_handle.hpp"

namespace ombrel {

namespace {

int handleTraverse(PyObject* self, visitproc visit, void* arg) {
  auto* h = reinterpret_cast<HandleObject*>(self);
  Py_VISIT(h->callback);
  Py_VISIT(h->args);
  Py_VISIT(h->context);
  Py_VISIT(h->loop);
  return 0;
}

int handleClear(PyObject* self) {
  auto* h = reinterpret_cast<HandleObject*>(self);
  Py_CLEAR(h->callback);
  Py_CLEAR(h->args);
  Py_CLEAR(h->context);
  Py_CLEAR(h->loop);
  return 0;
}

void handleDealloc(PyObject* self) {
  auto* h = reinterpret_cast<HandleObject*>(self);
  PyObject_GC_UnTrack(self);
  handleClear(self);
  // timer_op is not touched: an armed timer holds its own reference, so a
  // handle with one never gets here.
  if (handle_freelist_len < handle_freelist_max) {
    handle_freelist[handle_freelist_len++] = h;  // parked; keeps the type's reference
    return;
  }
  PyTypeObject* tp = Py_TYPE(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyObject* handleCancel(PyObject* self, PyObject*) {
  auto* h = reinterpret_cast<HandleObject*>(self);
  if (h->cancelled) Py_RETURN_NONE;
  h->cancelled = true;
  if (TimerOp* op = h->timer_op) {
    h->timer_op = nullptr;
    timerOpCancel(op);
  }
  Py_CLEAR(h->callback);
  Py_CLEAR(h->args);
  Py_CLEAR(h->context);
  Py_RETURN_NONE;
}

PyObject* handleCancelled(PyObject* self, PyObject*) {
  return PyBool_FromLong(reinterpret_cast<HandleObject*>(self)->cancelled);
}

PyObject* handleWhen(PyObject* self, PyObject*) {
  return PyFloat_FromDouble(reinterpret_cast<HandleObject*>(self)->when_val);
}

PyObject* handleGetContext(PyObject* self, PyObject*) {
  auto* h = reinterpret_cast<HandleObject*>(self);
  if (h->context == nullptr) Py_RETURN_NONE;
  return Py_NewRef(h->context);
}

PyObject* handleRun(PyObject* self, PyObject*) {
  if (runHandle(reinterpret_cast<HandleObject*>(self)) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyMethodDef handle_methods[] = {
    {"cancel", handleCancel, METH_NOARGS, "Cancel the callback."},
    {"cancelled", handleCancelled, METH_NOARGS, "Return whether the callback was cancelled."},
    {"_run", handleRun, METH_NOARGS, "Run the callback."},
    {"when", handleWhen, METH_NOARGS, "Return the scheduled time (TimerHandle compat)."},
    {"get_context", handleGetContext, METH_NOARGS, "Return the context the callback runs in."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot handle_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(handleDealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(handleTraverse)},
    {Py_tp_clear, reinterpret_cast<void*>(handleClear)},
    {Py_tp_methods, handle_methods},
    {0, nullptr},
};

PyType_Spec handle_spec = {
    "_ombrel.Handle", sizeof(HandleObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, handle_slots,
};

}  // namespace

PyTypeObject* handleTypeCreate(PyObject* module) noexcept {
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &handle_spec, nullptr));
}

PyObject* newHandle(PyObject* callback, PyObject* args, PyObject* loop, PyObject* context,
                    double when_val) noexcept {
  HandleObject* h;
  if (handle_freelist_len > 0) {
    h = handle_freelist[--handle_freelist_len];
    _Py_NewReference(reinterpret_cast<PyObject*>(h));
    PyObject_GC_Track(h);
  } else {
    h = reinterpret_cast<HandleObject*>(PyType_GenericAlloc(handle_type, 0));
    if (h == nullptr) {
      Py_XDECREF(context);
      return nullptr;
    }
  }
  h->callback = Py_XNewRef(callback);
  h->args = Py_NewRef(args);
  h->loop = Py_XNewRef(loop);
  h->context = context;
  h->when_val = when_val;
  h->cancelled = false;
  h->timer_op = nullptr;
  return reinterpret_cast<PyObject*>(h);
}

int runHandle(HandleObject* h) noexcept {
  if (h->callback == nullptr || h->args == nullptr) return 0;
  // The handle may be released by its own callback (cancel clears fields):
  // keep what the call needs alive for its duration.
  PyObject* callback = Py_NewRef(h->callback);
  PyObject* args = Py_NewRef(h->args);
  PyObject* context = Py_XNewRef(h->context);
  PyObject* result;
  if (context != nullptr) {
    if (PyContext_Enter(context) < 0) {
      Py_DECREF(callback);
      Py_DECREF(args);
      Py_DECREF(context);
      return -1;
    }
    result = PyObject_Call(callback, args, nullptr);
    // Exiting cannot fail for a context we entered; its result is not needed.
    PyObject* pending = PyErr_GetRaisedException();
    if (PyContext_Exit(context) < 0) PyErr_Clear();
    PyErr_SetRaisedException(pending);
  } else {
    result = PyObject_Call(callback, args, nullptr);
  }
  Py_DECREF(args);
  Py_XDECREF(context);
  if (result != nullptr) {
    Py_DECREF(result);
    Py_DECREF(callback);
    return 0;
  }
  PyObject* exc = PyErr_GetRaisedException();
  if (exc == nullptr) {
    Py_DECREF(callback);
    return 0;
  }
  if (PyErr_GivenExceptionMatches(exc, PyExc_SystemExit) ||
      PyErr_GivenExceptionMatches(exc, PyExc_KeyboardInterrupt)) {
    Py_DECREF(callback);
    PyErr_SetRaisedException(exc);
    return -1;
  }
  if (h->loop != nullptr) {
    PyObject* loop = Py_NewRef(h->loop);
    PyObject* ctx = PyDict_New();
    if (ctx == nullptr) {
      PyErr_Clear();
    } else {
      PyObject* message = PyUnicode_FromFormat("Exception in callback %R", callback);
      if (message == nullptr || PyDict_SetItemString(ctx, "message", message) < 0 ||
          PyDict_SetItemString(ctx, "exception", exc) < 0 ||
          PyDict_SetItemString(ctx, "handle", reinterpret_cast<PyObject*>(h)) < 0) {
        PyErr_Clear();
      } else {
        PyObject* call_args[] = {loop, ctx};
        PyObject* r = PyObject_VectorcallMethod(str_call_exception_handler, call_args,
                                                2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
        if (r == nullptr) {
          PyErr_WriteUnraisable(loop);
        } else {
          Py_DECREF(r);
        }
      }
      Py_XDECREF(message);
      Py_DECREF(ctx);
    }
    Py_DECREF(loop);
  }
  Py_DECREF(exc);
  Py_DECREF(callback);
  return 0;
}

PyObject* handleContext(PyObject* const* kwvalues, PyObject* kwnames) noexcept {
  if (kwnames != nullptr) {
    Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* name = PyTuple_GET_ITEM(kwnames, i);
      if (name == str_context || PyUnicode_Compare(name, str_context) == 0) {
        if (kwvalues[i] != Py_None) return Py_NewRef(kwvalues[i]);
        break;
      }
    }
  }
  return PyContext_CopyCurrent();
}

PyObject* tupleFromArray(PyObject* const* items, Py_ssize_t n) noexcept {
  PyObject* tuple = PyTuple_New(n);
  if (tuple == nullptr) return nullptr;
  for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(tuple, i, Py_NewRef(items[i]));
  return tuple;
}

int rejectCoroutine(PyObject* callback, const char* name) noexcept {
  if (Py_IS_TYPE(callback, &PyCoro_Type)) {
    PyErr_Format(PyExc_TypeError, "coroutines cannot be used with %s()", name);
    return -1;
  }
  return 0;
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

PyObject* loopCallSoon(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  Runtime* rt = reinterpret_cast<LoopObject*>(self)->rt;
  if (rt == nullptr) return closedError();
  if (nargs < 1) {
    PyErr_SetString(PyExc_TypeError, "call_soon() requires a callback");
    return nullptr;
  }
  PyObject* callback = args[0];
  if (rejectCoroutine(callback, "call_soon") < 0) return nullptr;
  PyObject* cbargs = tupleFromArray(args + 1, nargs - 1);
  if (cbargs == nullptr) return nullptr;
  PyObject* context = handleContext(args + nargs, kwnames);
  if (context == nullptr) {
    Py_DECREF(cbargs);
    return nullptr;
  }
  PyObject* h = newHandle(callback, cbargs, self, context, 0.0);
  Py_DECREF(cbargs);
  if (h == nullptr) return nullptr;
  if (!rt->readyAppend(h)) {
    Py_DECREF(h);
    return PyErr_NoMemory();
  }
  return Py_NewRef(h);
}

PyObject* loopCallSoonThreadsafe(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) noexcept {
  PyObject* h = loopCallSoon(self, args, nargs, kwnames);
  if (h != nullptr) {
    // Re-read: a callback run while the context was copied cannot close the
    // loop, but the check costs nothing.
    if (Runtime* rt = reinterpret_cast<LoopObject*>(self)->rt) rt->loop.wake();
  }
  return h;
}

bool drainReady(Runtime* rt) noexcept {
  std::size_t n = rt->ready_len - rt->ready_head;
  // Handles that timers queued lie scattered in memory, each with a context
  // of its own: fetch them a few places ahead (the handle first, then,
  // once it is in cache, its context) so that the misses overlap.
  constexpr std::size_t handle_ahead = 8;
  constexpr std::size_t context_ahead = 4;
  for (std::size_t i = 0; i < n; ++i) {
    if (i + handle_ahead < n) __builtin_prefetch(rt->ready[rt->ready_head + handle_ahead]);
    if (i + context_ahead < n) {
      __builtin_prefetch(reinterpret_cast<HandleObject*>(rt->ready[rt->ready_head + context_ahead])->context);
    }
    PyObject* obj = rt->ready[rt->ready_head++];
    auto* h = reinterpret_cast<HandleObject*>(obj);
    if (h->cancelled) {
      Py_DECREF(obj);
      continue;
    }
    int r = runHandle(h);
    Py_DECREF(obj);
    if (r < 0) return false;
  }
  if (rt->ready_head != 0) {
    std::size_t rest = rt->ready_len - rt->ready_head;
    std::memmove(rt->ready, rt->ready + rt->ready_head, rest * sizeof(PyObject*));
    rt->ready_len = rest;
    rt->ready_head = 0;
  }
  return true;
}

}  // namespace ombrel
