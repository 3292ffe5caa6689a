#include "module/debug_mode.hpp"

#include "module/globals.hpp"
#include "module/loop_object.hpp"

namespace ombrel {

Py_ssize_t debug_loops_len = 0;

namespace {

struct DebugLoop {
  PyObject* loop;  // borrowed: `ref` drops the entry before the loop goes
  PyObject* ref;   // strong; weak reference to `loop` with the removing callback
};

DebugLoop* debug_loops = nullptr;
Py_ssize_t debug_loops_cap = 0;
PyObject* entry_remover = nullptr;  // the weak references' callback
PyObject* str_debug_check = nullptr;
PyObject* str_debug_ran = nullptr;
PyObject* method_names[4] = {};

Py_ssize_t findLoop(PyObject* loop) noexcept {
  for (Py_ssize_t i = 0; i < debug_loops_len; ++i) {
    if (debug_loops[i].loop == loop) return i;
  }
  return -1;
}

void removeAt(Py_ssize_t i) noexcept {
  PyObject* ref = debug_loops[i].ref;
  debug_loops[i] = debug_loops[--debug_loops_len];
  Py_DECREF(ref);  // last: a weak reference object runs no code when freed
}

// Callback of the entries' weak references: the loop is being destroyed.
PyObject* debugLoopGone(PyObject*, PyObject* ref) {
  for (Py_ssize_t i = 0; i < debug_loops_len; ++i) {
    if (debug_loops[i].ref == ref) {
      removeAt(i);
      break;
    }
  }
  Py_RETURN_NONE;
}

PyMethodDef remover_def = {"_debug_loop_gone", debugLoopGone, METH_O, nullptr};

PyObject* moduleSetLoopDebug(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_SetString(PyExc_TypeError, "_set_loop_debug(loop, enabled) takes two arguments");
    return nullptr;
  }
  PyObject* loop = args[0];
  if (!PyObject_TypeCheck(loop, loop_type)) {
    PyErr_Format(PyExc_TypeError, "_set_loop_debug() needs a Loop, got %T", loop);
    return nullptr;
  }
  int enabled = PyObject_IsTrue(args[1]);
  if (enabled < 0) return nullptr;
  Py_ssize_t at = findLoop(loop);
  if (!enabled) {
    if (at >= 0) removeAt(at);
    Py_RETURN_NONE;
  }
  if (at >= 0) Py_RETURN_NONE;
  if (debug_loops_len == debug_loops_cap) {
    Py_ssize_t cap = debug_loops_cap == 0 ? 4 : debug_loops_cap * 2;
    auto* grown = static_cast<DebugLoop*>(PyMem_Realloc(debug_loops, cap * sizeof(DebugLoop)));
    if (grown == nullptr) return PyErr_NoMemory();
    debug_loops = grown;
    debug_loops_cap = cap;
  }
  PyObject* ref = PyWeakref_NewRef(loop, entry_remover);
  if (ref == nullptr) return nullptr;
  debug_loops[debug_loops_len++] = {loop, ref};
  Py_RETURN_NONE;
}

PyMethodDef module_functions[] = {
    {"_set_loop_debug", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(moduleSetLoopDebug)),
     METH_FASTCALL, "_set_loop_debug(loop, enabled): switch the debug checks of the loop's scheduling methods."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool debugLoopsContain(PyObject* loop) noexcept { return findLoop(loop) >= 0; }

PyObject* debugLoopOfRuntime(Runtime* rt) noexcept {
  for (Py_ssize_t i = 0; i < debug_loops_len; ++i) {
    if (reinterpret_cast<LoopObject*>(debug_loops[i].loop)->rt == rt) return debug_loops[i].loop;
  }
  return nullptr;
}

PyObject* debugCheck(PyObject* loop, DebugMethod method, PyObject* callback) noexcept {
  PyObject* call_args[] = {loop, method_names[static_cast<int>(method)], callback};
  return PyObject_VectorcallMethod(str_debug_check, call_args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

void debugRan(PyObject* loop, PyObject* handle, double elapsed) noexcept {
  PyObject* seconds = PyFloat_FromDouble(elapsed);
  if (seconds == nullptr) {
    PyErr_WriteUnraisable(loop);
    return;
  }
  PyObject* call_args[] = {loop, handle, seconds};
  PyObject* r = PyObject_VectorcallMethod(str_debug_ran, call_args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
  Py_DECREF(seconds);
  if (r == nullptr) {
    PyErr_WriteUnraisable(loop);
  } else {
    Py_DECREF(r);
  }
}

int debugModeInit(PyObject* module) noexcept {
  static constexpr const char* names[] = {"call_soon", "call_soon_threadsafe", "call_later", "call_at"};
  for (int i = 0; i < 4; ++i) {
    if ((method_names[i] = PyUnicode_InternFromString(names[i])) == nullptr) return -1;
  }
  if ((str_debug_check = PyUnicode_InternFromString("_debug_check")) == nullptr) return -1;
  if ((str_debug_ran = PyUnicode_InternFromString("_debug_ran")) == nullptr) return -1;
  if ((entry_remover = PyCFunction_New(&remover_def, nullptr)) == nullptr) return -1;
  return PyModule_AddFunctions(module, module_functions);
}

}  // namespace ombrel
