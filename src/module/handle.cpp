#include "module/handle.hpp"

#include <cstdint>
#include <cstring>

#include "module/debug_mode.hpp"
#include "module/globals.hpp"
#include "module/runtime.hpp"
#include "module/timer_handle.hpp"
#include "os/time.hpp"

namespace ombrel {

namespace {

// Byte offset of the weak-reference list in front of a handle (the
// interpreter's managed slot; the same for every handle), learnt from the
// first handle allocated: dealloc looks at the list before paying a call.
Py_ssize_t weaklist_offset = 0;

PyObject** weaklistOf(PyObject* self) noexcept {
  return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + weaklist_offset);
}

// What debug mode keeps of a handle, by its address (a Python int): the list
// [where it was scheduled (or None), its description kept by cancel (or
// None)]. A handle with an entry has `debug_info` set and removes the entry
// when it goes; the entries reference no handle.
PyObject* debug_infos = nullptr;

// The entry of `h` (borrowed), made when `create`; null when there is none
// (with an exception only if making it failed).
PyObject* debugInfo(HandleObject* h, bool create) noexcept {
  if (!h->debug_info && !create) return nullptr;
  PyObject* key = PyLong_FromVoidPtr(h);
  if (key == nullptr) return nullptr;
  PyObject* info = nullptr;
  if (h->debug_info) {
    info = PyDict_GetItemWithError(debug_infos, key);
  } else {
    info = Py_BuildValue("[OO]", Py_None, Py_None);
    if (info != nullptr) {
      int r = PyDict_SetItem(debug_infos, key, info);
      Py_DECREF(info);  // the dictionary's reference remains
      if (r < 0) {
        info = nullptr;
      } else {
        h->debug_info = true;
      }
    }
  }
  Py_DECREF(key);
  return info;
}

// Item `i` of the debug entry of `h` (new reference), None without one.
PyObject* debugInfoItem(HandleObject* h, Py_ssize_t i) noexcept {
  PyObject* info = debugInfo(h, false);
  if (info == nullptr) return PyErr_Occurred() ? nullptr : Py_NewRef(Py_None);
  return Py_NewRef(PyList_GET_ITEM(info, i));
}

int debugInfoSet(HandleObject* h, Py_ssize_t i, PyObject* value) noexcept {
  PyObject* info = debugInfo(h, true);
  if (info == nullptr) return -1;
  return PyList_SetItem(info, i, Py_NewRef(value));
}

// Dealloc: drops the entry. The exception being raised, if any, is kept.
void debugInfoDrop(HandleObject* h) noexcept {
  PyObject* pending = PyErr_GetRaisedException();
  h->debug_info = false;
  PyObject* key = PyLong_FromVoidPtr(h);
  if (key == nullptr || PyDict_DelItem(debug_infos, key) < 0) PyErr_WriteUnraisable(nullptr);
  Py_XDECREF(key);
  PyErr_SetRaisedException(pending);
}

// asyncio.format_helpers._format_callback_source and its keyword ("debug",),
// fetched on first use: descriptions and debug reports look like asyncio's.
PyObject* format_callback_source = nullptr;
PyObject* debug_kwnames = nullptr;

// "cb(args) at file:line" as asyncio describes a callback (arguments shown
// in debug mode only). New reference, or NULL with an exception.
PyObject* formatCallbackSource(PyObject* callback, PyObject* args, bool debug) noexcept {
  if (format_callback_source == nullptr) {
    PyObject* helpers = PyImport_ImportModule("asyncio.format_helpers");
    if (helpers == nullptr) return nullptr;
    PyObject* func = PyObject_GetAttrString(helpers, "_format_callback_source");
    Py_DECREF(helpers);
    if (func == nullptr) return nullptr;
    PyObject* kwnames = Py_BuildValue("(s)", "debug");
    if (kwnames == nullptr) {
      Py_DECREF(func);
      return nullptr;
    }
    format_callback_source = func;
    debug_kwnames = kwnames;
  }
  PyObject* call_args[] = {callback, args, debug ? Py_True : Py_False};
  return PyObject_Vectorcall(format_callback_source, call_args, 2, debug_kwnames);
}

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
  // Weak references go first, before anything else is released: their
  // callbacks may schedule callbacks, which take handles from the free list,
  // and this one is not parked yet; and none may survive into its reuse.
  if (*weaklistOf(self) != nullptr) PyObject_ClearWeakRefs(self);
  if (h->debug_info) [[unlikely]]
    debugInfoDrop(h);
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

PyObject* handleRepr(PyObject* self);

PyObject* handleCancel(PyObject* self, PyObject*) {
  auto* h = reinterpret_cast<HandleObject*>(self);
  if (h->cancelled) Py_RETURN_NONE;
  h->cancelled = true;
  if (TimerOp* op = h->timer_op) {
    h->timer_op = nullptr;
    timerOpCancel(op);
  }
  if (h->loop != nullptr && loopInDebug(h->loop)) [[unlikely]] {
    // Debug mode keeps the description with the callback in it, for the
    // reports that may still name this handle.
    PyObject* description = handleRepr(self);
    if (description == nullptr || debugInfoSet(h, 1, description) < 0) PyErr_WriteUnraisable(self);
    Py_XDECREF(description);
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

// Appends to `parts` and drops the reference to `item`; -1 if it is null or
// cannot be appended.
int appendPart(PyObject* parts, PyObject* item) noexcept {
  if (item == nullptr) return -1;
  int r = PyList_Append(parts, item);
  Py_DECREF(item);
  return r;
}

// "created at file:line" of the last frame of a source traceback, appended
// when there is one.
int appendCreatedAt(PyObject* parts, HandleObject* h) noexcept {
  PyObject* traceback = debugInfoItem(h, 0);
  if (traceback == nullptr) return -1;
  int r = PyObject_IsTrue(traceback);
  if (r > 0) {
    r = -1;
    if (PyObject* frame = PySequence_GetItem(traceback, -1)) {
      PyObject* file = PySequence_GetItem(frame, 0);
      PyObject* line = file != nullptr ? PySequence_GetItem(frame, 1) : nullptr;
      if (line != nullptr) r = appendPart(parts, PyUnicode_FromFormat("created at %S:%S", file, line));
      Py_XDECREF(file);
      Py_XDECREF(line);
      Py_DECREF(frame);
    }
  }
  Py_DECREF(traceback);
  return r;
}

PyObject* whenPart(double when) noexcept {
  PyObject* value = PyFloat_FromDouble(when);
  if (value == nullptr) return nullptr;
  PyObject* part = PyUnicode_FromFormat("when=%R", value);
  Py_DECREF(value);
  return part;
}

// asyncio's form: <Handle [cancelled] cb(args) at file:line [created at
// file:line]>, and for timer handles <TimerHandle [cancelled] when=T ...>.
PyObject* handleRepr(PyObject* self) {
  auto* h = reinterpret_cast<HandleObject*>(self);
  PyObject* kept = debugInfoItem(h, 1);
  if (kept != Py_None) return kept;  // or NULL
  Py_DECREF(kept);
  PyObject* parts = PyList_New(0);
  if (parts == nullptr) return nullptr;
  // The description runs Python code, which may cancel the handle.
  PyObject* callback = Py_XNewRef(h->callback);
  PyObject* args = Py_XNewRef(h->args);
  PyObject* result = nullptr;
  if (appendPart(parts, PyUnicode_FromString(h->is_timer ? "TimerHandle" : "Handle")) == 0 &&
      (!h->cancelled || appendPart(parts, PyUnicode_FromString("cancelled")) == 0) &&
      (!h->is_timer || appendPart(parts, whenPart(h->when_val)) == 0) &&
      (callback == nullptr || args == nullptr ||
       appendPart(parts, formatCallbackSource(callback, args, h->loop != nullptr && loopInDebug(h->loop))) == 0) &&
      appendCreatedAt(parts, h) == 0) {
    PyObject* sep = PyUnicode_FromString(" ");
    PyObject* joined = sep != nullptr ? PyUnicode_Join(sep, parts) : nullptr;
    if (joined != nullptr) result = PyUnicode_FromFormat("<%U>", joined);
    Py_XDECREF(joined);
    Py_XDECREF(sep);
  }
  Py_XDECREF(callback);
  Py_XDECREF(args);
  Py_DECREF(parts);
  return result;
}

PyObject* handleGetCallbackAttr(PyObject* self, void*) {
  PyObject* callback = reinterpret_cast<HandleObject*>(self)->callback;
  return Py_NewRef(callback != nullptr ? callback : Py_None);
}

PyObject* handleGetArgsAttr(PyObject* self, void*) {
  PyObject* args = reinterpret_cast<HandleObject*>(self)->args;
  return Py_NewRef(args != nullptr ? args : Py_None);
}

PyObject* handleGetSourceTraceback(PyObject* self, void*) {
  return debugInfoItem(reinterpret_cast<HandleObject*>(self), 0);
}

PyGetSetDef handle_getset[] = {
    {"_callback", handleGetCallbackAttr, nullptr, "The callback; None once cancelled.", nullptr},
    {"_source_traceback", handleGetSourceTraceback, nullptr, "Where the handle was made in debug mode, else None.",
     nullptr},
    {"_args", handleGetArgsAttr, nullptr, "The callback's positional arguments; None once cancelled.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

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
    {Py_tp_getset, handle_getset},
    {Py_tp_repr, reinterpret_cast<void*>(handleRepr)},
    {0, nullptr},
};

PyType_Spec handle_spec = {
    "_ombrel.Handle", sizeof(HandleObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_MANAGED_WEAKREF,
    handle_slots,
};

}  // namespace

PyTypeObject* handleTypeCreate(PyObject* module) noexcept {
  if (debug_infos == nullptr && (debug_infos = PyDict_New()) == nullptr) return nullptr;
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &handle_spec, nullptr));
}

int handleSetSourceTraceback(PyObject* handle, PyObject* traceback) noexcept {
  return debugInfoSet(reinterpret_cast<HandleObject*>(handle), 0, traceback);
}

PyObject* newHandle(PyObject* callback, PyObject* args, PyObject* loop, PyObject* context, double when_val) noexcept {
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
    if (weaklist_offset == 0) [[unlikely]] {
      weaklist_offset = reinterpret_cast<char*>(PyObject_GET_WEAKREFS_LISTPTR(reinterpret_cast<PyObject*>(h))) -
                        reinterpret_cast<char*>(h);
    }
  }
  h->callback = Py_XNewRef(callback);
  h->args = Py_NewRef(args);
  h->loop = Py_XNewRef(loop);
  h->context = context;
  h->when_val = when_val;
  h->cancelled = false;
  h->is_timer = false;
  h->timer_op = nullptr;
  return reinterpret_cast<PyObject*>(h);
}

namespace {

// The message of a callback's exception: "Exception in callback " and the
// callback, described as asyncio does in debug mode, by its repr otherwise.
// A description that fails falls back to the callback's type, so that the
// exception itself is still reported.
PyObject* callbackErrorMessage(PyObject* callback, PyObject* args, bool debug) noexcept {
  PyObject* message;
  if (debug) {
    PyObject* source = formatCallbackSource(callback, args, true);
    message = source != nullptr ? PyUnicode_FromFormat("Exception in callback %U", source) : nullptr;
    Py_XDECREF(source);
  } else {
    message = PyUnicode_FromFormat("Exception in callback %R", callback);
  }
  if (message == nullptr) {
    PyErr_Clear();
    message = PyUnicode_FromFormat("Exception in callback of type %s", Py_TYPE(callback)->tp_name);
  }
  return message;
}

// Hands a callback's exception to loop.call_exception_handler with the keys
// asyncio gives: "message", "exception", "handle", and "source_traceback"
// for a handle scheduled in debug mode. Runs after the handle's context was
// left, so that a custom handler can be run inside that context.
void reportCallbackError(HandleObject* h, PyObject* callback, PyObject* args, PyObject* exc) noexcept {
  PyObject* loop = Py_NewRef(h->loop);
  PyObject* self = reinterpret_cast<PyObject*>(h);
  PyObject* message = callbackErrorMessage(callback, args, loopInDebug(loop));
  PyObject* traceback = nullptr;
  PyObject* ctx = nullptr;
  bool built = false;
  if (message != nullptr && (traceback = debugInfoItem(h, 0)) != nullptr && (ctx = PyDict_New()) != nullptr &&
      PyDict_SetItemString(ctx, "message", message) == 0 && PyDict_SetItemString(ctx, "exception", exc) == 0 &&
      PyDict_SetItemString(ctx, "handle", self) == 0) {
    int shown = PyObject_IsTrue(traceback);
    built = shown == 0 || (shown > 0 && PyDict_SetItemString(ctx, "source_traceback", traceback) == 0);
  }
  if (built) {
    PyObject* call_args[] = {loop, ctx};
    PyObject* r =
        PyObject_VectorcallMethod(str_call_exception_handler, call_args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (r == nullptr) {
      PyErr_WriteUnraisable(loop);
    } else {
      Py_DECREF(r);
    }
  } else {
    PyErr_Clear();
  }
  Py_XDECREF(ctx);
  Py_XDECREF(traceback);
  Py_XDECREF(message);
  Py_DECREF(loop);
}

}  // namespace

namespace {

// callback(*args) without the tuple unpacking of PyObject_Call.
inline PyObject* callArgs(PyObject* callback, PyObject* args) noexcept {
  return PyObject_Vectorcall(callback, &PyTuple_GET_ITEM(args, 0), static_cast<std::size_t>(PyTuple_GET_SIZE(args)),
                             nullptr);
}

}  // namespace

int runHandle(HandleObject* h) noexcept {
  if (h->callback == nullptr || h->args == nullptr) return 0;
  // The handle may be released by its own callback (cancel clears fields):
  // keep what the call and its report need alive for their duration.
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
    result = callArgs(callback, args);
    // Exiting cannot fail for a context we entered; its result is not needed.
    if (result != nullptr) {
      if (PyContext_Exit(context) < 0) PyErr_Clear();
    } else {
      PyObject* pending = PyErr_GetRaisedException();
      if (PyContext_Exit(context) < 0) PyErr_Clear();
      PyErr_SetRaisedException(pending);
    }
    Py_DECREF(context);
  } else {
    result = callArgs(callback, args);
  }
  int status = 0;
  if (result != nullptr) {
    Py_DECREF(result);
  } else if (PyObject* exc = PyErr_GetRaisedException()) {
    if (PyErr_GivenExceptionMatches(exc, PyExc_SystemExit) ||
        PyErr_GivenExceptionMatches(exc, PyExc_KeyboardInterrupt)) {
      PyErr_SetRaisedException(exc);
      status = -1;
    } else {
      if (h->loop != nullptr) reportCallbackError(h, callback, args, exc);
      Py_DECREF(exc);
    }
  }
  Py_DECREF(args);
  Py_DECREF(callback);
  return status;
}

namespace {

// asyncio's C futures and tasks pass one and the same ("context",) tuple on
// every call_soon, built from a C string, so its name is not the interned
// one and would cost a string comparison each time: the last such tuple seen
// is remembered. The reference is strong so that no other tuple can take its
// address. Interpreter lock held.
PyObject* context_only_kwnames = nullptr;

}  // namespace

PyObject* handleContext(PyObject* const* kwvalues, PyObject* kwnames) noexcept {
  if (kwnames == nullptr) return PyContext_CopyCurrent();
  if (kwnames == context_only_kwnames) {
    return kwvalues[0] != Py_None ? Py_NewRef(kwvalues[0]) : PyContext_CopyCurrent();
  }
  Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, i);
    if (name == str_context || PyUnicode_Compare(name, str_context) == 0) {
      if (n == 1) Py_XSETREF(context_only_kwnames, Py_NewRef(kwnames));
      if (kwvalues[i] != Py_None) return Py_NewRef(kwvalues[i]);
      break;
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

namespace {

// Queues a new handle: the tail of call_soon and call_soon_threadsafe.
// `traceback` (borrowed; null or None when there is none) is where a
// debug-mode call was made. Inlined so that the fast path, which passes a
// constant null, carries no trace of it.
[[gnu::always_inline]] inline PyObject* queueHandle(Runtime* rt, PyObject* self, PyObject* const* args,
                                                    Py_ssize_t nargs, PyObject* kwnames, PyObject* traceback) noexcept {
  PyObject* cbargs = tupleFromArray(args + 1, nargs - 1);
  if (cbargs == nullptr) return nullptr;
  PyObject* context = handleContext(args + nargs, kwnames);
  if (context == nullptr) {
    Py_DECREF(cbargs);
    return nullptr;
  }
  PyObject* h = newHandle(args[0], cbargs, self, context, 0.0);
  Py_DECREF(cbargs);
  if (h == nullptr) return nullptr;
  if (traceback != nullptr && traceback != Py_None && handleSetSourceTraceback(h, traceback) < 0) {
    Py_DECREF(h);
    return nullptr;
  }
  if (!rt->readyAppend(h)) {
    Py_DECREF(h);
    return PyErr_NoMemory();
  }
  return Py_NewRef(h);
}

// The debug-mode variant: the package's checks, then the handle keeps where
// the call was made.
[[gnu::noinline]] PyObject* queueHandleDebug(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                                             DebugMethod method) noexcept {
  PyObject* traceback = debugCheck(self, method, args[0]);
  if (traceback == nullptr) return nullptr;
  // The checks ran Python code.
  Runtime* rt = runtimeOf(self);
  PyObject* h = rt != nullptr ? queueHandle(rt, self, args, nargs, kwnames, traceback) : closedError();
  Py_DECREF(traceback);
  return h;
}

// call_soon and call_soon_threadsafe; `method` names the caller to the
// debug checks.
[[gnu::always_inline]] inline PyObject* callSoon(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                                 PyObject* kwnames, DebugMethod method) noexcept {
  Runtime* rt = runtimeOf(self);
  if (rt == nullptr) return closedError();
  if (nargs < 1) {
    PyErr_SetString(PyExc_TypeError, "call_soon() requires a callback");
    return nullptr;
  }
  if (rejectCoroutine(args[0], "call_soon") < 0) return nullptr;
  if (rt->debug_loop != nullptr) [[unlikely]] {
    return queueHandleDebug(self, args, nargs, kwnames, method);
  }
  return queueHandle(rt, self, args, nargs, kwnames, nullptr);
}

}  // namespace

PyObject* loopCallSoon(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return callSoon(self, args, nargs, kwnames, DebugMethod::call_soon);
}

PyObject* loopCallSoonThreadsafe(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  PyObject* h = callSoon(self, args, nargs, kwnames, DebugMethod::call_soon_threadsafe);
  if (h != nullptr) {
    // Re-read: a callback run while the context was copied cannot close the
    // loop, but the check costs nothing.
    if (Runtime* rt = runtimeOf(self)) rt->loop.wake();
  }
  return h;
}

namespace {

// One pass; with `timed` (debug mode) each run is timed and handed to the
// package, which logs slow callbacks.
template <bool timed>
bool runPass(Runtime* rt, PyObject* loop) noexcept {
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
    int r;
    if constexpr (timed) {
      std::uint64_t start = vorn::os::clockNow(CLOCK_MONOTONIC);
      r = runHandle(h);
      if (r == 0) debugRan(loop, obj, static_cast<double>(vorn::os::clockNow(CLOCK_MONOTONIC) - start) / 1e9);
    } else {
      r = runHandle(h);
    }
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

}  // namespace

bool drainReady(Runtime* rt) noexcept {
  if (rt->debug_loop != nullptr) [[unlikely]]
    return runPass<true>(rt, rt->debug_loop);
  return runPass<false>(rt, nullptr);
}

}  // namespace ombrel
