#include "module/transport_method.hpp"

#include <cstddef>
#include <cstring>

#include "module/globals.hpp"

namespace ombrel {

namespace {

struct TransportMethodObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  PyMethodDef* def;  // an entry of the native Transport's method table (static)
  PyObject* name;    // owned
};

PyTypeObject* transport_method_type;
PyObject* str_native;  // "_native"

// The wrapper's native transport (a new reference), or null with TypeError.
PyObject* nativeOf(PyObject* wrapper) noexcept {
  PyObject* native = PyObject_GetAttr(wrapper, str_native);
  if (native == nullptr) return nullptr;
  if (!Py_IS_TYPE(native, transport_type)) {
    PyErr_Format(PyExc_TypeError, "%.200s has no native transport", Py_TYPE(wrapper)->tp_name);
    Py_DECREF(native);
    return nullptr;
  }
  return native;
}

// Argument errors worded as CPython words them for a builtin method.
PyObject* methodCall(TransportMethodObject* m, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) noexcept {
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (nargs < 1) {
    PyErr_Format(PyExc_TypeError, "unbound method %U() needs an argument", m->name);
    return nullptr;
  }
  const int flags = m->def->ml_flags & (METH_NOARGS | METH_O | METH_FASTCALL | METH_KEYWORDS);
  const bool has_kw = kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0;
  if (has_kw && !(flags & METH_KEYWORDS)) {
    PyErr_Format(PyExc_TypeError, "%U() takes no keyword arguments", m->name);
    return nullptr;
  }
  --nargs;
  if (flags == METH_NOARGS && nargs != 0) {
    PyErr_Format(PyExc_TypeError, "%U() takes no arguments (%zd given)", m->name, nargs);
    return nullptr;
  }
  if (flags == METH_O && nargs != 1) {
    PyErr_Format(PyExc_TypeError, "%U() takes exactly one argument (%zd given)", m->name, nargs);
    return nullptr;
  }
  PyObject* native = nativeOf(args[0]);
  if (native == nullptr) return nullptr;
  PyObject* r;
  switch (flags) {
    case METH_NOARGS: r = m->def->ml_meth(native, nullptr); break;
    case METH_O: r = m->def->ml_meth(native, args[1]); break;
    case METH_FASTCALL:
      r = reinterpret_cast<PyCFunctionFast>(reinterpret_cast<void (*)()>(m->def->ml_meth))(native, args + 1, nargs);
      break;
    case METH_FASTCALL | METH_KEYWORDS:
      r = reinterpret_cast<PyCFunctionFastWithKeywords>(reinterpret_cast<void (*)()>(m->def->ml_meth))(native, args + 1,
                                                                                                       nargs, kwnames);
      break;
    default: PyErr_Format(PyExc_SystemError, "%U(): unsupported calling convention", m->name); r = nullptr;
  }
  Py_DECREF(native);
  return r;
}

PyObject* methodVectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
  return methodCall(reinterpret_cast<TransportMethodObject*>(self), args, nargsf, kwnames);
}

PyObject* methodGet(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  PyObject* native = nativeOf(obj);
  if (native == nullptr) return nullptr;
  PyObject* bound = PyObject_GetAttr(native, reinterpret_cast<TransportMethodObject*>(self)->name);
  Py_DECREF(native);
  return bound;
}

PyObject* methodRepr(PyObject* self) {
  return PyUnicode_FromFormat("<transport method %U>", reinterpret_cast<TransportMethodObject*>(self)->name);
}

void methodDealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  Py_XDECREF(reinterpret_cast<TransportMethodObject*>(self)->name);
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyMemberDef method_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(TransportMethodObject, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot method_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(methodDealloc)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(methodGet)},
    {Py_tp_repr, reinterpret_cast<void*>(methodRepr)},
    {Py_tp_members, method_members},
    {0, nullptr},
};

PyType_Spec method_spec = {
    "_ombrel.TransportMethod",
    sizeof(TransportMethodObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    method_slots,
};

}  // namespace

PyTypeObject* transportMethodTypeCreate(PyObject* module) noexcept {
  str_native = PyUnicode_InternFromString("_native");
  if (str_native == nullptr) return nullptr;
  transport_method_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &method_spec, nullptr));
  return transport_method_type;
}

PyObject* loopTransportMethod(PyObject*, PyObject* name) noexcept {
  if (!PyUnicode_Check(name)) {
    PyErr_Format(PyExc_TypeError, "name must be a str, not %.200s", Py_TYPE(name)->tp_name);
    return nullptr;
  }
  const char* text = PyUnicode_AsUTF8(name);
  if (text == nullptr) return nullptr;
  for (PyMethodDef* def = transport_type->tp_methods; def != nullptr && def->ml_name != nullptr; ++def) {
    if (std::strcmp(def->ml_name, text) != 0) continue;
    auto* m = PyObject_New(TransportMethodObject, transport_method_type);
    if (m == nullptr) return nullptr;
    m->vectorcall = methodVectorcall;
    m->def = def;
    m->name = Py_NewRef(name);
    return reinterpret_cast<PyObject*>(m);
  }
  PyErr_Format(PyExc_AttributeError, "the native Transport has no method %R", name);
  return nullptr;
}

}  // namespace ombrel
