#include "module/transport.hpp"

#include "module/runtime.hpp"

namespace ombrel {

namespace {

int transportTraverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  return 0;
}

int transportClear(PyObject*) { return 0; }

void transportDealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  PyTypeObject* tp = Py_TYPE(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyType_Slot transport_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(transportDealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(transportTraverse)},
    {Py_tp_clear, reinterpret_cast<void*>(transportClear)},
    {0, nullptr},
};

PyType_Spec transport_spec = {
    "_ombrel.Transport", sizeof(TransportObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, transport_slots,
};

}  // namespace

PyTypeObject* transportTypeCreate(PyObject* module, PyObject*) noexcept {
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &transport_spec, nullptr));
}

PyObject* loopMakeTransport(PyObject*, PyObject*) noexcept {
  PyErr_SetString(PyExc_NotImplementedError, "_make_transport");
  return nullptr;
}

void transportFlushAll(Runtime*) noexcept {}
void transportAbortAll(Runtime*) noexcept {}
void transportDropFlushList(Runtime*) noexcept {}

}  // namespace ombrel
