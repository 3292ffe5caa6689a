// Entry point of the _ombrel extension module. Single-phase initialisation:
// the module has no state of its own and no module-level functions; its
// process-wide globals are set here once.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "module/debug_mode.hpp"
#include "module/globals.hpp"
#include "module/handle.hpp"
#include "module/loop_object.hpp"
#include "module/sock_future.hpp"
#include "module/task_factory.hpp"
#include "module/transport.hpp"
#include "module/transport_method.hpp"

namespace ombrel {

PyTypeObject* loop_type;
PyTypeObject* handle_type;
PyTypeObject* sockfuture_type;
PyTypeObject* transport_type;
PyObject* future_cancel_super;
Py_ssize_t sockfuture_offset;
PyObject* loop_kwnames;
PyObject* buffered_protocol_type;
PyObject* py_neg_one;
HandleObject* handle_freelist[handle_freelist_max];
int handle_freelist_len;
PyObject* str_set_result;
PyObject* str_set_exception;
PyObject* str_cancelled;
PyObject* str_call_exception_handler;
PyObject* str_connection_made;
PyObject* str_data_received;
PyObject* str_eof_received;
PyObject* str_connection_lost;
PyObject* str_pause_writing;
PyObject* str_resume_writing;
PyObject* str_get_buffer;
PyObject* str_buffer_updated;
PyObject* str_close;
PyObject* str_detach;
PyObject* str_before_close;
PyObject* str_sock_detach;
PyObject* str_fileno;
PyObject* str_context;

namespace {

PyMethodDef module_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_ombrel",
    "vorn.ev-backed asyncio event loop (native extension).",
    -1,
    module_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

bool intern(PyObject** slot, const char* text) {
  *slot = PyUnicode_InternFromString(text);
  return *slot != nullptr;
}

// Sets the globals and the types; false with an exception set on failure.
bool initGlobals(PyObject* module) {
  handle_type = handleTypeCreate(module);
  if (handle_type == nullptr || debugModeInit() < 0) return false;

  PyObject* loop_str = nullptr;
  if (!intern(&str_set_result, "set_result") || !intern(&str_set_exception, "set_exception") ||
      !intern(&str_cancelled, "cancelled") || !intern(&str_call_exception_handler, "call_exception_handler") ||
      !intern(&loop_str, "loop")) {
    return false;
  }
  loop_kwnames = PyTuple_Pack(1, loop_str);
  Py_DECREF(loop_str);
  if (loop_kwnames == nullptr) return false;

  PyObject* asyncio = PyImport_ImportModule("asyncio");
  if (asyncio == nullptr) return false;
  PyObject* future = PyObject_GetAttrString(asyncio, "Future");
  Py_DECREF(asyncio);
  if (future == nullptr) return false;
  future_cancel_super = PyObject_GetAttrString(future, "cancel");
  if (future_cancel_super == nullptr) {
    Py_DECREF(future);
    return false;
  }
  if (!PyType_Check(future)) {
    Py_DECREF(future);
    PyErr_SetString(PyExc_RuntimeError, "unexpected asyncio.Future layout for SockFuture");
    return false;
  }
  auto* future_type = reinterpret_cast<PyTypeObject*>(future);
  // A fixed native tail needs a fixed-size object: no items, and a
  // dictionary that is absent, managed, or at a fixed positive offset.
  if (future_type->tp_itemsize != 0 || future_type->tp_dictoffset < -1) {
    Py_DECREF(future);
    PyErr_SetString(PyExc_RuntimeError, "unexpected asyncio.Future layout for SockFuture");
    return false;
  }
  sockfuture_offset = future_type->tp_basicsize;
  sockfuture_type = sockFutureTypeCreate(module, future);
  if (sockfuture_type == nullptr) return false;  // the reference to Future stays held

  if (!intern(&str_connection_made, "connection_made") || !intern(&str_data_received, "data_received") ||
      !intern(&str_eof_received, "eof_received") || !intern(&str_connection_lost, "connection_lost") ||
      !intern(&str_pause_writing, "pause_writing") || !intern(&str_resume_writing, "resume_writing") ||
      !intern(&str_get_buffer, "get_buffer") || !intern(&str_buffer_updated, "buffer_updated") ||
      !intern(&str_context, "context") || !intern(&str_close, "close") || !intern(&str_detach, "_detach") ||
      !intern(&str_before_close, "_before_close") || !intern(&str_sock_detach, "detach") ||
      !intern(&str_fileno, "fileno")) {
    return false;
  }
  py_neg_one = PyLong_FromLong(-1);
  if (py_neg_one == nullptr) return false;

  asyncio = PyImport_ImportModule("asyncio");
  if (asyncio == nullptr) return false;
  buffered_protocol_type = PyObject_GetAttrString(asyncio, "BufferedProtocol");
  Py_DECREF(asyncio);
  if (buffered_protocol_type == nullptr) return false;
  transport_type = transportTypeCreate(module, nullptr);
  if (transport_type == nullptr || transportMethodTypeCreate(module) == nullptr) return false;

  if (!taskFactoryInit()) return false;
  loop_type = loopTypeCreate(module);
  if (loop_type == nullptr) return false;
  if (PyModule_AddObjectRef(module, "Loop", reinterpret_cast<PyObject*>(loop_type)) < 0) return false;
  return true;
}

}  // namespace

}  // namespace ombrel

PyMODINIT_FUNC PyInit__ombrel() {
  PyObject* module = PyModule_Create2(&ombrel::module_def, 1013);
  if (module == nullptr) return nullptr;
  if (!ombrel::initGlobals(module)) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}
