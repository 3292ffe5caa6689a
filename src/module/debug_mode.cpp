#include "module/debug_mode.hpp"

#include "module/globals.hpp"
#include "module/runtime.hpp"

namespace ombrel {

namespace {

PyObject* str_debug_check = nullptr;
PyObject* str_debug_ran = nullptr;
PyObject* method_names[4] = {};

}  // namespace

bool loopInDebug(PyObject* loop) noexcept {
  Runtime* rt = runtimeOf(loop);
  return rt != nullptr && rt->debug_loop != nullptr;
}

PyObject* loopSetDebug(PyObject* self, PyObject* enabled) noexcept {
  int on = PyObject_IsTrue(enabled);
  if (on < 0) return nullptr;
  // Borrowed: the loop object owns the runtime and outlives it.
  if (Runtime* rt = runtimeOf(self)) rt->debug_loop = on ? self : nullptr;
  Py_RETURN_NONE;
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

int debugModeInit() noexcept {
  static constexpr const char* names[] = {"call_soon", "call_soon_threadsafe", "call_later", "call_at"};
  for (int i = 0; i < 4; ++i) {
    if ((method_names[i] = PyUnicode_InternFromString(names[i])) == nullptr) return -1;
  }
  if ((str_debug_check = PyUnicode_InternFromString("_debug_check")) == nullptr) return -1;
  if ((str_debug_ran = PyUnicode_InternFromString("_debug_ran")) == nullptr) return -1;
  return 0;
}

}  // namespace ombrel
